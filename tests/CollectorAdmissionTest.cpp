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

// A crash report of group `seed / 100`: the group's crashing function, then
// noise up to 3000 bytes, one 4 KiB block on disk whatever the compressor
// does. Groups from 90 on are 40,000 bytes of one letter: ten blocks on
// disk, from a datagram of well under one.
Bytes reportOf(unsigned seed)
{
    const unsigned group = seed / 100;
    std::string text = "signal 11 (SIGSEGV)\n#0  0x00005581c3a00037 in crash_in_" + std::to_string(group) + " (g.c:1)\n\n";
    if (group >= 90) {
        text.append(40000 - text.size(), 'x');
        return toBytes(text);
    }
    Bytes report = toBytes(text);
    const Bytes noise = randomBytes(3000 - report.size(), seed);
    report.insert(report.end(), noise.begin(), noise.end());
    return report;
}

// Seeds `first` to `last`, from `address`.
std::vector<std::pair<const char*, unsigned>> from(const char* address, unsigned first, unsigned last)
{
    std::vector<std::pair<const char*, unsigned>> sends;
    for (unsigned seed = first; seed <= last; ++seed) {
        sends.emplace_back(address, seed);
    }
    return sends;
}

template <typename... More>
std::vector<std::pair<const char*, unsigned>> from(const char* address, unsigned first, unsigned last, More... more)
{
    auto sends = from(address, first, last);
    const auto rest = from(more...);
    sends.insert(sends.end(), rest.begin(), rest.end());
    return sends;
}

std::vector<unsigned> seeds(std::initializer_list<std::pair<unsigned, unsigned>> ranges)
{
    std::vector<unsigned> all;
    for (const auto& [first, last] : ranges) {
        for (unsigned seed = first; seed <= last; ++seed) {
            all.push_back(seed);
        }
    }
    return all;
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
    {"AStormOfOneCrashEvictsItsOwnReports",
     {"--max-use", "40K"},
     from("127.0.0.2", 101, 105, "127.0.0.1", 201, 220),
     seeds({{101, 105}, {216, 220}}),
     {{"stored", 25}, {"removed", 15}}},
    {"BytesNotCountsSayWhichGroupGoes",
     {"--max-use", "64K"},
     from("127.0.0.2", 101, 104, "127.0.0.3", 201, 204, "127.0.0.4", 301, 304, "127.0.0.1", 9001, 9002),
     seeds({{103, 104}, {203, 204}, {303, 304}, {9002, 9002}}),
     {{"stored", 14}, {"removed", 7}}},
    {"NoReportLargerThanTheBudget",
     {"--max-use", "2K", "--keep-free", "0"},
     {{"127.0.0.1", 1}},
     {},
     {{"stored", 0}, {"budget", 1}}},
};

INSTANTIATE_TEST_SUITE_P(Senders, CollectorAdmits, testing::ValuesIn(kAdmissions),
                         [](const testing::TestParamInfo<Admission>& param) { return param.param.name; });

// Runs the collector on a filesystem of its own with few inodes: a tmpfs
// mounted over its directory in a mount namespace of its own, after
// `prepare` (shell commands, with the directory as $1) has run there.
class CollectorWithFewInodes : public testing::Test {
protected:
    void SetUp() override
    {
        TempDir probe;
        if (run({"/usr/bin/unshare", "-m", "/bin/sh", "-c", "mount -t tmpfs -o nr_inodes=8 tmpfs \"$0\"",
                 probe.path().string()})
                .status
            != 0) {
            GTEST_SKIP() << "can't mount a filesystem in a mount namespace here";
        }
    }
    static collector_tests::Setup onFewInodes(unsigned inodes, const std::string& prepare, std::vector<std::string> args = {})
    {
        return {.args = std::move(args),
                .wrapper = {"/usr/bin/unshare", "-m", "/bin/sh", "-c",
                            "mount -t tmpfs -o size=8M,nr_inodes=" + std::to_string(inodes) + " tmpfs \"$1\" && "
                                + prepare + " && shift && exec \"$@\"",
                            "sh", directory_.path().string()}};
    }
    static inline TempDir directory_;
};

TEST_F(CollectorWithFewInodes, KeepsInodesFreeAndStoresEveryReport)
{
    constexpr int kReports = 100;
    RunningCollector collector(directory_.path(), onFewInodes(64, "true"));
    const UdpSocket peer;

    for (int report = 0; report < kReports; ++report) {
        peer.sendTo(collector.port(), makeFrame(toBytes(std::string(1, static_cast<char>('a' + report % 3)))));
    }
    for (int report = 0; report < kReports; ++report) {
        ASSERT_FALSE(collector.nextStoredPath().empty());
    }

    const auto summary = summaryOf(collector.stop().err);
    EXPECT_EQ(summary.at("failed to store"), 0U);
    EXPECT_GT(summary.at("removed"), 0U);
}

TEST_F(CollectorWithFewInodes, StartsWhenAStaleLockFileTookTheLastInode)
{
    const std::string fill = "true >\"$1/.collector-00000000deadbeef.lock\" && i=0 && "
                             "while true >\"$1/filler$i\" 2>/dev/null; do i=$((i + 1)); done";

    RunningCollector collector(directory_.path(), onFewInodes(16, fill));

    EXPECT_EQ(collector.stop().status, 0);
}

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
