// The collector end to end: which senders it admits, what it keeps within
// its budget, and how it bounds the lines a flood causes.

#include "CollectorProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>

namespace {

using namespace collector_tests;

// Reports sent from several loopback addresses to a collector that admits
// or keeps only some: what must be left stored and counted.
struct Admission {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::pair<const char*, unsigned>> sends;  // source address, report seed
    std::vector<unsigned> kept;                             // seeds of the reports left stored
    std::map<std::string, std::uint64_t> counts;            // in the summary
    friend void PrintTo(const Admission& admission, std::ostream* out) { *out << admission.name; }
};

class CollectorAdmits : public testing::TestWithParam<Admission> {};

// 3000 bytes of noise: one 4 KiB block on disk, whatever the compressor does.
Bytes reportOf(unsigned seed)
{
    return randomBytes(3000, seed);
}

TEST_P(CollectorAdmits, OnlyWhatItMayAndKeepsTheRest)
{
    const Admission& admission = GetParam();
    TempDir dir;
    RunningCollector collector(dir.path(), {.args = admission.args});

    for (const auto& [address, seed] : admission.sends) {
        UdpSocket(0, address).sendTo(collector.port(), makeFrame(reportOf(seed)));
    }
    const ExitResult result = collector.stop();

    EXPECT_EQ(result.status, 0);
    const auto summary = summaryOf(result.err);
    for (const auto& [name, count] : admission.counts) {
        EXPECT_EQ(summary.at(name), count) << name << "\n" << result.err;
    }
    std::vector<std::string> kept;
    for (const unsigned seed : admission.kept) {
        const Bytes report = reportOf(seed);
        kept.emplace_back(report.begin(), report.end());
    }
    std::ranges::sort(kept);
    EXPECT_TRUE(storedIn(dir.path()) == kept) << result.err;
}

const Admission kAdmissions[] = {
    {"OnlyAllowedNetworks",
     {"--allow", "10.0.0.0/8", "--allow", "127.0.0.2"},
     {{"127.0.0.1", 1}, {"127.0.0.2", 2}, {"127.0.0.3", 3}},
     {2},
     {{"stored", 1}, {"allowlist", 2}, {"refused", 2}}},
    {"AtMostTheLimitFromOneSender",
     {"--per-sender-limit", "2"},
     {{"127.0.0.1", 1}, {"127.0.0.1", 2}, {"127.0.0.1", 3}, {"127.0.0.2", 4}},
     {1, 2, 4},
     {{"stored", 3}, {"per-sender limit", 1}}},
    {"TheFloodersOldestReportMakesRoom",
     {"--max-use", "12K", "--keep-free", "0"},
     {{"127.0.0.1", 1}, {"127.0.0.1", 2}, {"127.0.0.2", 3}, {"127.0.0.3", 4}, {"127.0.0.3", 5}},
     {3, 4, 5},
     {{"stored", 5}, {"removed", 2}}},
    {"NoReportLargerThanTheBudget",
     {"--max-use", "2K", "--keep-free", "0"},
     {{"127.0.0.1", 1}},
     {},
     {{"stored", 0}, {"budget", 1}}},
};

INSTANTIATE_TEST_SUITE_P(Senders, CollectorAdmits, testing::ValuesIn(kAdmissions),
                         [](const testing::TestParamInfo<Admission>& param) { return param.param.name; });

TEST(CollectorEndToEnd, HoldsBackRejectionLinesOfAFlood)
{
    constexpr int kFlood = 250;
    TempDir dir;
    RunningCollector collector(dir.path());
    const UdpSocket peer;
    for (int index = 0; index < kFlood; ++index) {
        peer.sendTo(collector.port(), toBytes("bad"));
    }
    peer.sendTo(collector.port(), makeFrame(toBytes("report")));
    collector.nextStoredPath();

    const ExitResult result = collector.stop();
    const std::regex suppressed(R"(suppressed (\d+) )");
    int lines = 0;
    int held = 0;
    std::istringstream err(result.err);
    for (std::string line; std::getline(err, line);) {
        std::smatch match;
        lines += line.starts_with("rejected ") ? 1 : 0;
        held += std::regex_search(line, match, suppressed) ? std::stoi(match[1]) : 0;
    }
    EXPECT_LT(lines, kFlood);
    EXPECT_EQ(lines + held, kFlood) << result.err;
}

}  // namespace
