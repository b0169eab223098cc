#pragma once

// crashReports' commands: each answers one of an operator's questions about
// a store, and yields what to print and the exit status, so that printing
// and its failures are handled in one place.

#include "reader/ReaderOptions.h"
#include "signature/SkipRules.h"
#include "store/Catalog.h"

#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace triage {

struct Outcome {
    int status = 0;  // 0 success, 1 failure, 2 usage error
    std::string output;  // for standard output; any bytes
    std::vector<std::string> errors;  // lines without the program's name
};

// groups, list, show or page against `catalog`, which `options.store`
// names. For groups, `underRules` (or null) are the rules to show each
// group's newest report's signature under. A catalog that throws makes a
// failure naming the store.
Outcome runOnCatalog(store::Catalog& catalog, const ReaderOptions& options, const SkipRules* underRules,
                     store::TimePoint now);

// signature: each file's signature under `rules`; a file that can't be read
// is a failure that leaves the others to be shown.
Outcome showSignatures(std::span<const std::string> files, const SkipRules& rules);

// The command that `options` names: opens the store and loads the rules
// that it needs.
Outcome runReader(const ReaderOptions& options, store::TimePoint now);

// Writes the output to `out` and each error line to `err` after
// "crashReports: "; the outcome's status, or 1 with a line of its own if
// `out` fails to take the output.
int writeOutcome(const Outcome& outcome, std::FILE* out, std::FILE* err);

}  // namespace triage
