// The collector end to end, storing: reports from the real sender and
// hand-made datagrams, storms, kills, shared directories and failing calls.

#include "CollectorProcess.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <thread>

namespace {

using namespace collector_tests;

TEST(CollectorEndToEnd, StoresReportsFromTheSenderByteForByte)
{
    TempDir dir;
    const std::vector<Bytes> reports{toBytes("abc"), randomBytes(2000), toBytes(makeCrashLog(1 << 20))};
    RunningCollector collector(dir.path() / "reports", {.args = {"--count", "3"}, .port = kCollectorPort});

    for (std::size_t index = 0; index < reports.size(); ++index) {
        const auto path = dir.write("report" + std::to_string(index), reports[index]);
        ASSERT_EQ(run({kSender, path.string()}).status, 0);
        const fs::path stored = collector.nextStoredPath();
        EXPECT_EQ(readFile(stored), reports[index]);
        EXPECT_EQ(stored.parent_path(), dir.path() / "reports");
    }

    const ExitResult result = collector.child().wait();
    EXPECT_EQ(result.status, 0) << result.err;
    const auto summary = summaryOf(result.err);
    EXPECT_EQ(summary.at("received"), 3U);
    EXPECT_EQ(summary.at("stored"), 3U);
    EXPECT_EQ(summary.at("failed to store"), 0U);
    expectOnlyReports(dir.path() / "reports", 3);
}

TEST(CollectorEndToEnd, RejectsHostileDatagramsAndKeepsServing)
{
    TempDir dir;
    RunningCollector collector(dir.path());
    const UdpSocket peer;
    const std::vector<std::pair<Bytes, std::string>> hostile{
        {{}, "shorter than the 4-byte size prefix"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x78, 0x9C}, "is over the limit"},
        {toBytes(std::string_view("\0\0\0\x10GET / HTTP/1.1\r\n", 20)), "zlib: incorrect header check"},
        {[] {
             Bytes frame = makeFrame(toBytes("abc"));
             frame[3] = 2;
             return frame;
         }(),
         "more than the declared 2 bytes"},
    };

    for (const auto& [payload, reason] : hostile) {
        peer.sendTo(collector.port(), payload);
        const auto line = collector.child().readErrLine();
        ASSERT_TRUE(line);
        EXPECT_TRUE(line->starts_with("rejected 127.0.0.1:" + std::to_string(peer.port()) + ": ")) << *line;
        EXPECT_NE(line->find(reason), std::string::npos) << *line;
    }
    const Bytes report = toBytes(makeCrashLog(5000));
    peer.sendTo(collector.port(), makeFrame(report));
    EXPECT_EQ(readFile(collector.nextStoredPath()), report);

    const ExitResult result = collector.stop();
    EXPECT_EQ(result.status, 0);
    const auto summary = summaryOf(result.err);
    EXPECT_EQ(summary.at("received"), 5U);
    EXPECT_EQ(summary.at("stored"), 1U);
    EXPECT_EQ(summary.at("rejected"), 4U);
    expectOnlyReports(dir.path(), 1);
}

TEST(CollectorEndToEnd, StoresAWholeStormThroughAReceiveBufferOfAStockHost)
{
    constexpr int kStorm = 2000;
    TempDir dir;
    RunningCollector collector(dir.path() / "reports", {.args = {"--count", std::to_string(kStorm)},
                                                        .process = {.env = failingCall("clamp_rcvbuf")}});
    const UdpSocket peer;
    std::vector<std::string> sent = stormOf(kStorm);

    sendAll(peer, collector.port(), sent);

    const ExitResult result = collector.child().wait(120s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(collector.startLines().starts_with("warning: receive buffer is 425984 bytes"))
        << collector.startLines();
    std::ranges::sort(sent);
    const auto stored = storedIn(dir.path() / "reports");
    EXPECT_TRUE(stored == sent) << "stored " << stored.size() << " of " << kStorm << "\n" << result.err;
}

TEST(CollectorEndToEnd, LeavesOnlyWholeReportsWhenKilledInABurst)
{
    TempDir dir;
    const std::vector<std::string> sent = stormOf(1000);
    {
        RunningCollector killed(dir.path());
        const UdpSocket peer;
        sendAll(peer, killed.port(), sent);
        killed.nextStoredPath();
        killed.child().signal(SIGKILL);
        killed.child().wait();
    }

    RunningCollector restarted(dir.path());
    const UdpSocket peer;
    peer.sendTo(restarted.port(), makeFrame(toBytes(sent.front())));
    restarted.nextStoredPath();
    // The killed collector's lock file and temporaries go in the restarted
    // one's idle walk of the directory; what it stores comes first.
    const auto traces = [&dir] {
        return std::ranges::count_if(filesIn(dir.path()), [](const fs::path& file) {
            const std::string name = file.filename().string();
            return name.starts_with(".collector-") || name.starts_with(".incoming-");
        });
    };
    for (int tries = 0; traces() > 1 && tries < 200; ++tries) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(restarted.stop().status, 0);

    const std::set<std::string> whole(sent.begin(), sent.end());
    const auto stored = storedIn(dir.path());
    EXPECT_GE(stored.size(), 2U);
    for (const auto& report : stored) {
        EXPECT_TRUE(whole.contains(report)) << "a stored report is not one that was sent";
    }
    expectOnlyReports(dir.path(), stored.size());
}

TEST(CollectorEndToEnd, ASecondCollectorThatCantBindDisturbsNothing)
{
    constexpr int kBurst = 500;
    TempDir dir;
    RunningCollector first(dir.path(), {.args = {"--count", std::to_string(kBurst)}});
    const UdpSocket peer;
    const std::vector<std::string> sent = stormOf(kBurst);
    sendAll(peer, first.port(), std::vector(sent.begin(), sent.begin() + kBurst / 2));

    const ExitResult second = run({kCollector, "--bind", "127.0.0.1", "--port", std::to_string(first.port()),
                                   dir.path().string()});
    sendAll(peer, first.port(), std::vector(sent.begin() + kBurst / 2, sent.end()));

    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("Address already in use"), std::string::npos) << second.err;
    const ExitResult result = first.child().wait(60s);
    EXPECT_EQ(summaryOf(result.err).at("stored"), static_cast<std::uint64_t>(kBurst)) << result.err;
    expectOnlyReports(dir.path(), kBurst);
}

TEST(CollectorEndToEnd, CollectorsSharingAPortAndDirectoryStoreEveryReport)
{
    TempDir dir;
    RunningCollector first(dir.path(), {.args = {"--reuse-port"}});
    RunningCollector second(dir.path(), {.args = {"--reuse-port"}, .port = first.port()});
    const std::vector<std::string> sent = stormOf(40);

    // From many ports, so that the kernel spreads them over both.
    for (const auto& report : sent) {
        UdpSocket(0).sendTo(first.port(), makeFrame(toBytes(report)));
    }

    const auto firstSummary = summaryOf(first.stop().err);
    const auto secondSummary = summaryOf(second.stop().err);
    EXPECT_EQ(firstSummary.at("stored") + secondSummary.at("stored"), sent.size());
    EXPECT_EQ(storedIn(dir.path()).size(), sent.size());
}

TEST(CollectorEndToEnd, DropsAndCountsWhatTheQueueCantHold)
{
    constexpr int kBurst = 100;
    TempDir dir;
    RunningCollector collector(dir.path(), {.args = {"--queue-size", "64K"},
                                            .process = {.env = failingCall("slow_first_store")}});
    const UdpSocket peer;
    // Incompressible: each frame costs its 3 KB in the queue.
    for (unsigned index = 0; index < kBurst; ++index) {
        peer.sendTo(collector.port(), makeFrame(randomBytes(3000, index)));
    }
    std::this_thread::sleep_for(1500ms);

    const ExitResult result = collector.stop();
    EXPECT_EQ(result.status, 0);
    const auto summary = summaryOf(result.err);
    EXPECT_GT(summary.at("dropped"), 0U) << result.err;
    EXPECT_EQ(summary.at("stored") + summary.at("dropped"), static_cast<std::uint64_t>(kBurst)) << result.err;
    EXPECT_NE(result.err.find(": the queue of frames to store is full"), std::string::npos) << result.err;
}

// A platform call of the collector's, made to behave as on another system.
class CollectorStoresDespite : public testing::TestWithParam<const char*> {};

TEST_P(CollectorStoresDespite, WholeReportsAndNothingElse)
{
    constexpr int kBurst = 100;
    TempDir dir;
    RunningCollector collector(dir.path(), {.process = {.env = failingCall(GetParam())}});
    const UdpSocket peer;
    const std::vector<std::string> reports = stormOf(2 * kBurst);

    // Bursts one after the other, so that the groups are large and many:
    // a filesystem sync is tried only on those.
    for (int burst = 0; burst < 2; ++burst) {
        sendAll(peer, collector.port(), std::vector(reports.begin() + burst * kBurst,
                                                    reports.begin() + (burst + 1) * kBurst));
        for (int report = 0; report < kBurst; ++report) {
            ASSERT_FALSE(collector.nextStoredPath().empty());
        }
    }

    EXPECT_EQ(collector.stop().status, 0);
    auto sorted = reports;
    std::ranges::sort(sorted);
    EXPECT_TRUE(storedIn(dir.path()) == sorted);
    expectOnlyReports(dir.path(), reports.size());
}

// A rename that can't refuse to replace (NFS); a filesystem sync that fails
// for a write error elsewhere on the filesystem.
INSTANTIATE_TEST_SUITE_P(Platforms, CollectorStoresDespite, testing::Values("renameat2", "syncfs"),
                         [](const testing::TestParamInfo<const char*>& param) { return std::string(param.param); });

TEST(CollectorEndToEnd, KeepsStoringWhenItsStandardOutputReaderIsGone)
{
    TempDir dir;
    RunningCollector collector(dir.path(), {.process = {.closedStdout = true}});
    const UdpSocket peer;
    sendAll(peer, collector.port(), stormOf(20));
    for (int wait = 0; wait < 100 && storedIn(dir.path()).size() < 20; ++wait) {
        std::this_thread::sleep_for(50ms);
    }

    const ExitResult result = collector.stop();

    EXPECT_EQ(result.status, 0) << "ended by SIGPIPE?";
    const auto summary = summaryOf(result.err);
    EXPECT_EQ(summary.at("stored"), 20U);
    EXPECT_EQ(summary.at("log lines dropped"), 20U);
}

TEST(CollectorEndToEnd, StartsPastAFifoNamedLikeALockFile)
{
    TempDir dir;
    ASSERT_EQ(::mkfifo((dir.path() / ".collector-0123456789abcdef.lock").c_str(), 0600), 0);

    RunningCollector collector(dir.path());
    UdpSocket().sendTo(collector.port(), makeFrame(toBytes("report")));

    EXPECT_EQ(readFile(collector.nextStoredPath()), toBytes("report"));
    EXPECT_EQ(collector.stop().status, 0);
}

TEST(CollectorEndToEnd, StoresEveryReportWithFewFileDescriptors)
{
    constexpr int kReports = 200;
    TempDir dir;
    RunningCollector collector(dir.path(), {.args = {"--count", std::to_string(kReports)},
                                            .wrapper = {"/usr/bin/prlimit", "--nofile=16", "--"}});

    sendAll(UdpSocket(), collector.port(), stormOf(kReports));

    const ExitResult result = collector.child().wait(60s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(summaryOf(result.err).at("failed to store"), 0U) << result.err;
    expectOnlyReports(dir.path(), kReports);
}

// Each signal that stops the collector stops it the same orderly way.
class CollectorStopsOn : public testing::TestWithParam<int> {};

TEST_P(CollectorStopsOn, StoringWhatItHasAndSummarising)
{
    TempDir dir;
    RunningCollector collector(dir.path());
    UdpSocket().sendTo(collector.port(), makeFrame(toBytes("report")));
    collector.nextStoredPath();

    collector.child().signal(GetParam());
    const ExitResult result = collector.child().wait();

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(summaryOf(result.err).at("stored"), 1U) << result.err;
}

INSTANTIATE_TEST_SUITE_P(Signals, CollectorStopsOn, testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int>& param) { return std::string(sigabbrev_np(param.param)); });

TEST(CollectorEndToEnd, CountsAReportOverTheFileSizeLimitAsNotStored)
{
    TempDir dir;
    RunningCollector collector(dir.path(), {.wrapper = {"/usr/bin/prlimit", "--fsize=4096", "--"}});
    const UdpSocket peer;

    peer.sendTo(collector.port(), makeFrame(toBytes(makeCrashLog(10000))));
    // The index can't grow under the limit either: the collector stores on
    // without it.
    std::optional<std::string> line;
    while ((line = collector.child().readErrLine())
           && (line->starts_with("can't open the index") || line->starts_with("can't use the index"))) {
    }
    const Bytes small = toBytes("small report");
    peer.sendTo(collector.port(), makeFrame(small));

    ASSERT_TRUE(line);
    EXPECT_NE(line->find("File too large"), std::string::npos) << *line;
    EXPECT_EQ(readFile(collector.nextStoredPath()), small);
    const ExitResult result = collector.stop();
    EXPECT_EQ(result.status, 0) << "ended by SIGXFSZ?";
    EXPECT_EQ(summaryOf(result.err).at("failed to store"), 1U);
    expectOnlyReports(dir.path(), 1);
}

TEST(CollectorEndToEnd, MakesItsDirectoryAgainWhenItIsRemoved)
{
    TempDir dir;
    RunningCollector collector(dir.path() / "reports");
    const UdpSocket peer;
    fs::remove_all(dir.path() / "reports");

    peer.sendTo(collector.port(), makeFrame(toBytes("report")));
    // An idle collector may find its index gone, and make it anew, before
    // it finds the directory gone.
    auto line = collector.child().readErrLine();
    while (line && line->find("index of ") != std::string::npos) {
        line = collector.child().readErrLine();
    }
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "report directory " + (dir.path() / "reports").string() + " was removed: made it again");
    EXPECT_EQ(readFile(collector.nextStoredPath()), toBytes("report"));

    const ExitResult result = collector.stop();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(summaryOf(result.err).at("stored"), 1U);
}

TEST(CollectorEndToEnd, MakesAnIndexItCantWriteAnewAndTellsItsNews)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root, to leave an index that the collector's user can't write";
    }
    TempDir dir;
    {
        // An index of root's, as a reindex run as root left it before.
        RunningCollector root(dir.path());
        UdpSocket().sendTo(root.port(), makeFrame(toBytes("signal 11 (SIGSEGV)\n#0  0x1 in parse_header (a.c:1)\n")));
        ASSERT_FALSE(root.nextStoredPath().empty());
        root.stop();
    }
    fs::permissions(dir.path(), fs::perms::all);
    RunningCollector collector(dir.path(), {.wrapper = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                                        "--clear-groups", "--inh-caps=-all"}});

    UdpSocket().sendTo(collector.port(), makeFrame(toBytes("signal 11 (SIGSEGV)\n#0  0x1 in load_config (a.c:1)\n")));
    ASSERT_FALSE(collector.nextStoredPath().empty());
    const ExitResult result = collector.stop();

    EXPECT_NE(result.err.find("this user can't write it): made it anew"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("new crash group"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.find("caught up with the reports later"), std::string::npos) << result.err;
}

// With --metrics, a file that a monitoring system reads: what happened,
// counted, readable by all, and whole (written anew and renamed).
TEST(CollectorEndToEnd, WritesItsFiguresForAMonitoringSystem)
{
    TempDir dir;
    const fs::path metrics = dir.path() / "collector.prom";
    RunningCollector collector(dir.path() / "reports", {.args = {"--metrics", metrics.string(), "--max-use", "1G"}});
    const UdpSocket peer;
    for (const char* report : {"first", "second"}) {
        peer.sendTo(collector.port(), makeFrame(toBytes(report)));
        collector.nextStoredPath();
    }
    peer.sendTo(collector.port(), toBytes("not a frame"));
    const ExitResult result = collector.stop();
    ASSERT_EQ(result.status, 0) << result.err;

    const std::string text = readText(metrics);
    for (const char* sample : {"crash_collector_datagrams_received_total 3", "crash_collector_reports_stored_total 2",
                               "crash_collector_datagrams_rejected_total 1", "crash_collector_groups 2",
                               "crash_collector_group_news_total{event=\"new\"} 2",
                               "crash_collector_store_budget_bytes 1073741824"}) {
        EXPECT_NE(text.find(std::string("\n") + sample + "\n"), std::string::npos) << sample << " in:\n" << text;
    }
    struct stat status {};
    ASSERT_EQ(::stat(metrics.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644U);
    EXPECT_FALSE(fs::exists(metrics.string() + ".tmp"));
}

}  // namespace
