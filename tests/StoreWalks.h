#pragma once

// Walks through what both kinds of store do alike, end to end: the real
// collector stores, the real reader decides and reads.

#include <string>

namespace collector_tests {

// Fixes a group in a version, then sends a report from an older version (no
// news) and from a newer one (regressed, once); ignores a group (no news,
// hidden); merges a group into another and gives it back; then reindexes
// and restarts the collector, and every decision holds. `store` is a
// directory or a database URI, empty of reports.
void walkDecisions(const std::string& store);

// Stores three reports of one crash and one of another, then lets a
// collector with --max-age run idle past their age: each group keeps its
// newest report, and only that.
void walkRetention(const std::string& store);

}  // namespace collector_tests
