#pragma once

// Private to reader/.

// The parts of crashReports' commands that more than one file shares: the
// groups and reports that options choose (ReaderGroups.cpp), and taking a
// decision (ReaderDecisions.cpp).

#include "reader/Reader.h"
#include "store/DecidedGroups.h"

#include <sys/types.h>

namespace triage {

Outcome failure(std::string line);
// Whether the calling process is in group `gid`.
bool inGroup(gid_t gid);

// The reports' time and facts that the options ask for.
store::ReportFilter filterOf(const ReaderOptions& options);
// The reports that list shows: of the group asked for and those merged into
// it (ignored or not), or of every group in the state asked for (any but
// ignored, unless --all); newest first, at most --limit.
std::vector<store::ReportSummary> chosenReports(store::Catalog& catalog, const store::DecisionBook& book,
                                                const ReaderOptions& options, store::TimePoint now);
// show GROUP: the group with its decisions, signatures and newest report.
Outcome showGroup(store::Catalog& catalog, const ReaderOptions& options, store::TimePoint now);
// fix, ignore, reopen, merge or unmerge, as the options say.
Outcome takeDecision(const ReaderOptions& options, store::TimePoint now);

}  // namespace triage
