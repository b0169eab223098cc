#pragma once

// A walk through the decisions on crash groups, end to end, that both kinds
// of store take: the real collector stores, the real reader decides.

#include <string>

namespace collector_tests {

// Fixes a group in a version, then sends a report from an older version (no
// news) and from a newer one (regressed, once); ignores a group (no news,
// hidden); merges a group into another and gives it back; then reindexes
// and restarts the collector, and every decision holds. `store` is a
// directory or a database URI, empty of reports.
void walkDecisions(const std::string& store);

}  // namespace collector_tests
