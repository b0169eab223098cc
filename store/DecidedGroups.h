#pragma once

// The groups of a catalog as people decided on them: a group merged into
// another is counted in it (its reports, hosts and times), each group has
// where it stands (open, fixed, regressed, ignored) and its mark (new, or
// back after a quiet time), and ignored groups are left out unless asked
// for. What crashReports lists and the page shows.

#include "store/Catalog.h"
#include "store/Decisions.h"

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace store {

// New: first seen in the last day. Regressed: reports in the last day,
// none in the quiet time before those, and older ones before that; or a
// report in the last day that brought a fixed group back.
enum class Mark { none, fresh, regressed };
inline constexpr auto kRecent = std::chrono::hours(24);

std::string_view nameOf(Mark mark);  // "", "new", "regressed"

struct DecidedGroup {
    GroupSummary group;  // with the reports of the groups merged into it
    Standing standing;
    Mark mark = Mark::none;
    std::vector<std::string> merged;  // the groups merged into it
};

// Which groups: those with reports that `filter` lets through (its time
// and facts; its group and limit aside), in `state` (without one: any but
// ignored, unless `all`), whose title, signature or reports' facts hold
// `text`.
struct GroupQuery {
    ReportFilter filter;
    std::optional<GroupState> state;
    bool all = false;
    std::optional<std::string> text;
};

// The mark of `group` at `now`, after a quiet time of `regressedAfter`.
Mark markOf(Catalog& catalog, const GroupSummary& group, TimePoint now, std::chrono::seconds regressedAfter);

// The groups that `query` asks for, latest activity first.
std::vector<DecidedGroup> decideGroups(Catalog& catalog, const DecisionBook& book, const GroupQuery& query,
                                       TimePoint now, std::chrono::seconds regressedAfter);

// One group as decideGroups() gives it, whatever its state; nothing if the
// catalog holds no report of it (nor of a group merged into it).
std::optional<DecidedGroup> decideGroup(Catalog& catalog, const DecisionBook& book, const std::string& group,
                                        TimePoint now, std::chrono::seconds regressedAfter);

}  // namespace store
