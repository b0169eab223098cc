#pragma once

// A catalog of fixed answers for the reader's tests: two groups, three
// reports and what the reader asked of it, with the times it is read at.

#include "common/TimeText.h"
#include "store/Catalog.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>

namespace reader_tests {

using store::GroupSummary;
using store::ReportSummary;

const store::TimePoint kNow = *crashreports::parseTime("2026-12-09T08:00:00Z", {});

inline store::TimePoint at(std::string_view time)
{
    return *crashreports::parseTime(time, kNow);
}

constexpr const char* kStore = "/srv/reports";
constexpr const char* kNewest = "20261208T115959.000042Z_10.1.2.3_40000_000003.report";
constexpr const char* kOther = "20261207T090000.000000Z_10.1.2.4_41000_000002.report";
constexpr const char* kOldest = "20261208T100000.500000Z_10.1.2.4_40000_000001.report";

constexpr std::string_view kHandledCrash =
    "Program received signal SIGSEGV, Segmentation fault.\n#0  0x1 in log_crash () at c.c:1\n"
    "#1  0x2 in parse_header () at h.c:3\n";

class CannedCatalog : public store::Catalog {
public:
    std::vector<GroupSummary> groupList = {
        {"0123456789abcdef", "SIGSEGV in log_crash", "SIGSEGV | log_crash | parse_header", 2, 2,
         at("2026-12-08T10:00:00.5Z"), at("2026-12-08T11:59:59.000042Z"), kNewest},
        {"fedcba9876543210", "ValueError in load", "ValueError | load", 1, 1, at("2026-12-07T09:00:00Z"),
         at("2026-12-07T09:00:00Z"), kOther},
    };
    std::vector<ReportSummary> reportList = {
        {kNewest, "0123456789abcdef", "SIGSEGV in log_crash", at("2026-12-08T11:59:59.000042Z"), "10.1.2.3:40000",
         1234, "web-3", "app.service", "/usr/bin/app", "SIGSEGV", "1.4-2"},
        {kOldest, "0123456789abcdef", "SIGSEGV in log_crash", at("2026-12-08T10:00:00.5Z"), "10.1.2.4:40000", 99},
        {kOther, "fedcba9876543210", "ValueError in load", at("2026-12-07T09:00:00Z"), "10.1.2.4:41000", 7},
    };
    std::map<std::string, std::vector<unsigned char>, std::less<>> bytes = {
        {kNewest, {kHandledCrash.begin(), kHandledCrash.end()}},
        {kOther, {'\0', 0xff, '\r', '\n', 'x'}},
    };
    std::vector<store::ReportFilter> asked;
    bool failing = false;

    std::vector<GroupSummary> groups(const store::ReportFilter& filter) override
    {
        ask(filter);
        return groupList;
    }
    std::vector<ReportSummary> reports(const store::ReportFilter& filter) override
    {
        ask(filter);
        std::vector<ReportSummary> found;
        for (const auto& report : reportList) {
            if ((!filter.group || report.group == *filter.group) && found.size() < filter.limit.value_or(SIZE_MAX)) {
                found.push_back(report);
            }
        }
        return found;
    }
    std::uint64_t countReports(const store::ReportFilter& filter) override { return reports(filter).size(); }
    std::optional<ReportSummary> report(const std::string&) override { return std::nullopt; }
    std::optional<std::vector<unsigned char>> reportBytes(const std::string& id) override
    {
        const auto found = bytes.find(id);
        return found == bytes.end() ? std::nullopt : std::optional(found->second);
    }
    store::Histogram histogram(const std::optional<std::string>&, std::chrono::seconds, std::size_t,
                               store::TimePoint) override
    {
        return {};
    }
    store::DecisionRecord decisions() override { return record; }
    std::uint64_t hostsOf(std::span<const std::string> groups) override
    {
        std::set<std::string> hosts;
        for (const auto& report : reportList) {
            if (std::ranges::find(groups, report.group) != groups.end()) {
                hosts.insert(report.sender.substr(0, report.sender.find(':')));
            }
        }
        return hosts.size();
    }
    std::set<std::string> groupsMentioning(std::string_view text) override
    {
        std::set<std::string> found;
        for (const auto& report : reportList) {
            if (report.host.find(text) != std::string::npos || report.version.find(text) != std::string::npos) {
                found.insert(report.group);
            }
        }
        return found;
    }
    store::DecisionRecord record;

private:
    void ask(const store::ReportFilter& filter)
    {
        if (failing) {
            throw std::runtime_error("disk I/O error");
        }
        asked.push_back(filter);
    }
};

}  // namespace reader_tests
