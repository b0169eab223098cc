// The collector end to end: which senders it admits, what it keeps within
// its budget, and how it bounds the lines a flood causes.

#include "CollectorProcess.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

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
// does.
Bytes reportOf(unsigned seed)
{
    const unsigned group = seed / 100;
    std::string text = "signal 11 (SIGSEGV)\n#0  0x00005581c3a00037 in crash_in_" + std::to_string(group) + " (g.c:1)\n\n";
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
    {"NoReportLargerThanTheBudget",
     {"--max-use", "2K", "--keep-free", "0"},
     {{"127.0.0.1", 1}},
     {},
     {{"stored", 0}, {"budget", 1}}},
};

INSTANTIATE_TEST_SUITE_P(Senders, CollectorAdmits, testing::ValuesIn(kAdmissions),
                         [](const testing::TestParamInfo<Admission>& param) { return param.param.name; });

// What is left of each sender's reports in a store at its budget, and what
// the reports and the index take there.
struct Kept {
    std::map<std::string, std::vector<std::string>> bySender;  // names, by the sender's address
    std::uint64_t disk = 0;
};

Kept keptIn(const fs::path& directory)
{
    Kept kept;
    for (const auto& entry : fs::directory_iterator(directory)) {
        const std::string name = entry.path().filename().string();
        struct stat status {};
        ::lstat(entry.path().c_str(), &status);
        if (name.ends_with(".report")) {
            const auto first = name.find('_') + 1;
            kept.bySender[name.substr(first, name.find('_', first) - first)].push_back(name);
        }
        if (name.ends_with(".report") || name.starts_with(".index.sqlite")) {
            kept.disk += static_cast<std::uint64_t>(status.st_blocks) * 512;
        }
    }
    return kept;
}

TEST(CollectorBudget, KeepsAnotherHostsOnlyReportsThroughAStormAndAFloodOfCrashesOfTheirOwn)
{
    constexpr std::uint64_t kMaxUse = 400 << 10;
    TempDir dir;
    RunningCollector collector(dir.path(), {.args = {"--max-use", "400K", "--keep-free", "0"}});
    const auto crash = [](const std::string& function, std::size_t size) {
        std::string text = "signal 11 (SIGSEGV)\n#0  0x00005581c3a00037 in " + function + " (g.c:1)\n\n";
        text.append(size - text.size(), 'x');
        return makeFrame(toBytes(text));
    };
    const UdpSocket hostA(0, "127.0.0.1");
    for (int report = 0; report < 10; ++report) {
        hostA.sendTo(collector.port(), crash("host_a_" + std::to_string(report), 16000));
    }
    for (int report = 0; report < 10; ++report) {
        ASSERT_FALSE(collector.nextStoredPath().empty());
    }
    const UdpSocket storm(0, "127.0.0.3");
    const UdpSocket flood(0, "127.0.0.2");
    for (int report = 0; report < 300; ++report) {
        storm.sendTo(collector.port(), crash("storm", 3000 + static_cast<std::size_t>(report % 7)));
        flood.sendTo(collector.port(), crash("flood_" + std::to_string(report), 200));
    }
    for (int report = 0; report < 600; ++report) {
        ASSERT_FALSE(collector.nextStoredPath().empty()) << report;
    }
    const ExitResult result = collector.stop();

    const Kept kept = keptIn(dir.path());
    EXPECT_EQ(kept.bySender.at("127.0.0.1").size(), 10U) << result.err;
    EXPECT_GE(kept.bySender.at("127.0.0.3").size(), 1U) << "the storm's newest report stays";
    EXPECT_GE(kept.bySender.at("127.0.0.2").size(), 1U);
    EXPECT_LE(kept.disk, kMaxUse) << "the reports and the index keep within --max-use";
    EXPECT_GT(summaryOf(result.err).at("removed"), 0U);
}

TEST(CollectorBudget, HoldsWhenTwoCollectorsShareADirectory)
{
    constexpr std::uint64_t kMaxUse = 600 << 10;
    TempDir dir;
    const std::vector<std::string> args{"--reuse-port", "--max-use", "600K", "--keep-free", "0"};
    RunningCollector first(dir.path(), {.args = args});
    RunningCollector second(dir.path(), {.args = args, .port = first.port()});
    const std::vector<std::string> sent = stormOf(400);

    // From many ports, so that the kernel spreads them over both.
    for (const auto& report : sent) {
        UdpSocket(0).sendTo(first.port(), makeFrame(toBytes(report)));
        std::this_thread::sleep_for(200us);
    }
    // Idle, each finds what the other stored.
    std::this_thread::sleep_for(3s);
    const auto firstSummary = summaryOf(first.stop().err);
    const auto secondSummary = summaryOf(second.stop().err);

    EXPECT_EQ(firstSummary.at("stored") + secondSummary.at("stored"), sent.size());
    EXPECT_LE(keptIn(dir.path()).disk, kMaxUse) << "the reports and the index keep within --max-use";
}

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
