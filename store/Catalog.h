#pragma once

// What a store tells about the reports it holds: their groups (reports that
// share a crash signature), the reports themselves, and their bytes. The
// reader (crashReports) and the page ask a catalog, never the socket. A
// directory's catalog is its index; a database's is its tables.

#include "store/Decisions.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace store {

using TimePoint = std::chrono::system_clock::time_point;

// A group: the reports that share one signature.
struct GroupSummary {
    std::string group;      // the signature's id
    std::string title;      // for people, printable
    std::string signature;  // the signature's text
    std::uint64_t count = 0;
    std::uint64_t hosts = 0;  // distinct sender addresses
    TimePoint firstSeen;      // the oldest report's receive time
    TimePoint lastSeen;       // the newest report's receive time
    std::string newest;       // the newest report's id
    // The versions of the first and last reports that named one, as they
    // came; empty where none did.
    std::string firstVersion;
    std::string lastVersion;
    friend bool operator==(const GroupSummary&, const GroupSummary&) = default;
};

// A stored report, without its bytes.
struct ReportSummary {
    std::string report;  // its id: the name the store gave it
    std::string group;
    std::string title;
    TimePoint received;
    std::string sender;  // "ADDRESS:PORT"
    std::uint64_t bytes = 0;
    // What the report says of itself; empty where it doesn't say.
    std::string host;
    std::string unit;
    std::string executable;
    std::string signal;
    std::string version;
    friend bool operator==(const ReportSummary&, const ReportSummary&) = default;
};

// Which reports a question is about: all, or those received since a time,
// of one group, that say they come from a host, unit, executable or
// version, and at most so many (the newest).
struct ReportFilter {
    std::optional<TimePoint> since;
    std::optional<std::string> group;
    std::optional<std::size_t> limit;
    std::optional<std::string> host{};
    std::optional<std::string> unit{};
    std::optional<std::string> executable{};
    std::optional<std::string> version{};
    // Whether it asks about what reports say of themselves.
    bool byFacts() const { return host || unit || executable || version; }
};

// The count of reports in each bucket of `width`, oldest bucket first, from
// `start` on; buckets with no report are there with 0.
struct Histogram {
    TimePoint start;
    std::chrono::seconds width{0};
    std::vector<std::uint64_t> counts;
};

class Catalog {
public:
    virtual ~Catalog() = default;

    // The groups with a report that `filter` lets through (its group and
    // limit aside), latest activity first; counts, hosts and times are of
    // those reports.
    virtual std::vector<GroupSummary> groups(const ReportFilter& filter) = 0;
    // The reports that `filter` lets through, newest first.
    virtual std::vector<ReportSummary> reports(const ReportFilter& filter) = 0;
    // The count of reports that `filter` lets through (its limit aside).
    virtual std::uint64_t countReports(const ReportFilter& filter) = 0;
    // One report, or nothing if the store does not hold it.
    virtual std::optional<ReportSummary> report(const std::string& id) = 0;
    // The bytes of a report exactly as stored, or nothing if the store does
    // not hold it.
    virtual std::optional<std::vector<unsigned char>> reportBytes(const std::string& id) = 0;
    // The reports of `group` (all groups if empty) per bucket of `width`,
    // `buckets` of them ending with the one that holds `now`.
    virtual Histogram histogram(const std::optional<std::string>& group, std::chrono::seconds width,
                                std::size_t buckets, TimePoint now) = 0;
    // The decisions taken on the store's groups, in order, with the groups
    // their reports are in now.
    virtual DecisionRecord decisions() = 0;
    // The distinct sender addresses of the reports of `groups`.
    virtual std::uint64_t hostsOf(std::span<const std::string> groups) = 0;
    // The groups of the reports whose host, unit, executable, signal or
    // version holds `text`.
    virtual std::set<std::string> groupsMentioning(std::string_view text) = 0;
};

// What a store holds once its groups were rebuilt from its reports.
struct Rebuilt {
    std::uint64_t reports = 0, groups = 0;
};

}  // namespace store
