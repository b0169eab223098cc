// The collector's pieces that need no socket: report file names, the log
// rate limit, the store and its temporaries, option sizes, admission and the
// disk budget.

#include "Admission.h"
#include "DiskBudget.h"
#include "LineRateLimiter.h"
#include "LogSink.h"
#include "Options.h"
#include "ReportStore.h"
#include "StartupError.h"
#include "SyncChooser.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

using namespace std::chrono;
using collector::LineRateLimiter;
using collector::ReportStore;
using collector::Sender;
using namespace test_support;

const Sender kLoopback{0x7F000001, 5};

TEST(ReportFileName, CarriesUtcTimeSenderAndSequence)
{
    // 2026-12-08T11:59:59.000042Z
    const system_clock::time_point received{seconds(1796731199) + microseconds(42)};
    EXPECT_EQ(collector::reportFileName(received, Sender{0x0A010203, 40000}, 7),
              "20261208T115959.000042Z_10.1.2.3_40000_000007.report");
}

TEST(ReportSenderAddress, ReadsOnlyTheCollectorsOwnNames)
{
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"20261208T115959.000042Z_10.1.2.3_40000_000007.report", "10.1.2.3"},
        {"20261208T115959.000042Z_10.1.2.3_40000_1234567.report", "10.1.2.3"},
        {"20261208T115959.000042Z_10.1.2.3_40000_000007.report.tmp", std::nullopt},
        {"20261208T115959.000042Z_10.1.2.300_40000_000007.report", std::nullopt},
        {"20261208T115959Z_10.1.2.3_40000_000007.report", std::nullopt},
        {"notes.report", std::nullopt},
        {".incoming-0123456789abcdef-1.tmp", std::nullopt},
    };
    for (const auto& [name, address] : cases) {
        EXPECT_EQ(collector::reportSenderAddress(name), address) << name;
    }
}

TEST(LineRateLimiter, HoldsBackLinesPastTheRateAndCountsThemOnce)
{
    LineRateLimiter limiter(3);
    const LineRateLimiter::Clock::time_point start{seconds(100)};
    int allowed = 0;
    for (int line = 0; line < 10; ++line) {
        allowed += limiter.admit(start + milliseconds(line)).allowed ? 1 : 0;
    }
    EXPECT_EQ(allowed, 3);
    EXPECT_EQ(limiter.takeSuppressed(start + milliseconds(500)), 0U) << "the window is not over yet";

    const auto next = limiter.admit(start + milliseconds(1001));
    EXPECT_TRUE(next.allowed);
    EXPECT_EQ(next.suppressedBefore, 7U);
    EXPECT_EQ(limiter.admit(start + milliseconds(1002)).suppressedBefore, 0U) << "counted twice";
}

TEST(LineRateLimiter, GivesUpItsCountWhenIdleAndAtTheEnd)
{
    LineRateLimiter limiter(1);
    const LineRateLimiter::Clock::time_point start{seconds(5)};
    limiter.admit(start);
    limiter.admit(start);
    EXPECT_TRUE(limiter.holdsSuppressed());
    EXPECT_EQ(limiter.takeSuppressed(start + seconds(2)), 1U);
    EXPECT_FALSE(limiter.holdsSuppressed());

    limiter.admit(start + seconds(3));
    limiter.admit(start + seconds(3));
    EXPECT_EQ(limiter.takeAllSuppressed(), 1U);
}

TEST(LogSink, PrefixesPrioritiesOnlyOnTheJournalsStream)
{
    TempDir dir;
    const Fd journal(::open((dir.path() / "journal").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    const Fd plain(::open((dir.path() / "plain").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    struct stat status {};
    ::fstat(journal.get(), &status);
    ::setenv("JOURNAL_STREAM", (std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino)).c_str(), 1);
    {
        collector::LogSink log(plain.get(), journal.get());
        ::unsetenv("JOURNAL_STREAM");
        log.out(collector::Priority::Info, "stored a");
        log.err(collector::Priority::Error, "can't store b");
        log.limited(collector::Priority::Warning, "rejected c");
        log.err(collector::Priority::Info, "summary");
        EXPECT_TRUE(log.drain(10s));
    }
    EXPECT_EQ(readFile(dir.path() / "journal"), toBytes("<3>can't store b\n<4>rejected c\n<6>summary\n"));
    EXPECT_EQ(readFile(dir.path() / "plain"), toBytes("stored a\n"));
}

TEST(LogSink, DropsWhatAStreamCantTakeWithoutWaitingForIt)
{
    ::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    Fd reader(ends[0]);
    const Fd writer(ends[1]);
    constexpr int kLines = 20000;  // 2 MB: more than the pipe and the backlog hold
    collector::LogSink log(writer.get(), STDERR_FILENO);
    const auto start = steady_clock::now();
    for (int line = 0; line < kLines; ++line) {
        log.out(collector::Priority::Info, std::string(99, 'x'));
    }
    EXPECT_LT(steady_clock::now() - start, 5s) << "writing lines waited for their reader";
    EXPECT_FALSE(log.drain(100ms));
    EXPECT_GT(log.dropped(), 0U);
    reader.reset();  // a reader that is gone: the rest is dropped too
    EXPECT_TRUE(log.drain(10s));
    EXPECT_GE(log.dropped(), kLines - 65536 / 100U) << "lines past what the pipe took were written";
}

std::vector<std::string> namesIn(const std::filesystem::path& directory)
{
    std::vector<std::string> names;
    for (const auto& file : filesIn(directory)) {
        names.push_back(file.filename().string());
    }
    return names;
}

// The names in `directory` of temporaries.
std::vector<std::string> temporariesIn(const std::filesystem::path& directory)
{
    std::vector<std::string> names;
    for (const auto& name : namesIn(directory)) {
        if (name.starts_with(".incoming-")) {
            names.push_back(name);
        }
    }
    return names;
}

collector::CommitResult commitOne(ReportStore& store, collector::PendingReport&& pending)
{
    std::vector<collector::PendingReport> group;
    group.push_back(std::move(pending));
    return store.commit(group).front();
}

collector::CommitResult storeOne(ReportStore& store, std::span<const unsigned char> report,
                                 system_clock::time_point received = system_clock::now())
{
    auto written = store.write(report, kLoopback, received);
    if (!written.pending) {
        return {std::nullopt, written.error};
    }
    return commitOne(store, std::move(*written.pending));
}

TEST(ReportStore, StoresTheBytesUnderANameOfItsOwn)
{
    TempDir dir;
    ReportStore store(dir.path() / "reports" / "nested");
    const Bytes report = randomBytes(5000);

    const auto result = storeOne(store, report);

    ASSERT_TRUE(result.stored()) << result.error;
    EXPECT_EQ(readFile(store.directory() / *result.name), report);
    EXPECT_EQ(temporariesIn(store.directory()), std::vector<std::string>{});
}

TEST(ReportStore, GivesATakenNameAnotherAndReplacesNothing)
{
    TempDir dir;
    const system_clock::time_point received{seconds(1796731199)};
    // A restarted collector counts from 1 again: the same instant gives the same name.
    const auto first = storeOne(*std::make_unique<ReportStore>(dir.path()), toBytes("first"), received);
    ReportStore store(dir.path());

    const auto second = storeOne(store, toBytes("second"), received);

    ASSERT_TRUE(second.stored()) << second.error;
    EXPECT_NE(second.name, first.name);
    EXPECT_EQ(readFile(dir.path() / *first.name), toBytes("first"));
    EXPECT_EQ(readFile(dir.path() / *second.name), toBytes("second"));
}

TEST(ReportStore, FailsWithoutLeavingATemporaryWhenTheDirectoryIsGone)
{
    TempDir dir;
    ReportStore store(dir.path() / "reports");
    std::filesystem::remove_all(dir.path() / "reports");

    const auto result = storeOne(store, toBytes("report"));

    EXPECT_FALSE(result.stored());
    EXPECT_NE(result.error.find("can't create"), std::string::npos) << result.error;
}

TEST(ReportStore, MakesARemovedDirectoryAgain)
{
    TempDir dir;
    ReportStore store(dir.path() / "reports");
    std::filesystem::remove_all(dir.path() / "reports");

    const auto reopening = store.reopenIfReplaced();

    EXPECT_TRUE(reopening.reopened) << reopening.line;
    EXPECT_NE(reopening.line.find("was removed: made it again"), std::string::npos) << reopening.line;
    EXPECT_TRUE(storeOne(store, toBytes("report")).stored());
    EXPECT_TRUE(store.reopenIfReplaced().line.empty()) << "reopened what was in place";
}

TEST(ReportStore, RemovesOnlyTheTemporariesOfCollectorsThatAreGone)
{
    TempDir dir;
    // What a killed collector leaves: its temporary, and its lock file no longer locked.
    dir.write(".collector-00000000deadbeef.lock", "");
    dir.write(".incoming-00000000deadbeef-1.tmp", "half a rep");
    dir.write("kept.report", "whole");
    ReportStore live(dir.path());
    auto inFlight = live.write(toBytes("in flight"), kLoopback, system_clock::now());
    ASSERT_TRUE(inFlight.pending);

    ReportStore next(dir.path());

    EXPECT_EQ(temporariesIn(dir.path()), std::vector{inFlight.pending->temporary});
    EXPECT_FALSE(std::filesystem::exists(dir.path() / ".collector-00000000deadbeef.lock"));
    EXPECT_TRUE(commitOne(live, std::move(*inFlight.pending)).stored());
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "kept.report"));
}

TEST(ReportStore, RefusesADirectoryItCannotCreate)
{
    TempDir dir;
    const auto file = dir.write("file", "x");
    EXPECT_THROW(ReportStore(file / "reports"), collector::StartupError);
}

TEST(SyncChooser, SyncsTheFilesystemUntilThatSlowsDownThenTakesTheFaster)
{
    using collector::SyncWay;
    collector::SyncChooser chooser;
    // One group of `files`, timed as each way would take it; the way taken.
    const auto timed = [&](std::size_t files, double filesystemSeconds, double eachFileSeconds) {
        const SyncWay way = chooser.choose(files);
        chooser.record(way, duration<double>(way == SyncWay::Filesystem ? filesystemSeconds : eachFileSeconds), files);
        return way;
    };
    const auto count = [&](int groups, double filesystemSeconds, double eachFileSeconds, SyncWay way) {
        int taken = 0;
        for (int group = 0; group < groups; ++group) {
            taken += timed(64, filesystemSeconds, eachFileSeconds) == way ? 1 : 0;
        }
        return taken;
    };

    EXPECT_EQ(count(40, 1, 2, SyncWay::EachFile), 0) << "tried syncing each file on a quiet filesystem";
    EXPECT_EQ(timed(64, 9, 2), SyncWay::Filesystem);
    EXPECT_EQ(timed(64, 9, 2), SyncWay::EachFile) << "a filesystem sync 9 times slower than its best";
    EXPECT_EQ(count(32, 9, 2, SyncWay::Filesystem), 2) << "the slower way is retried every 16th group";
    EXPECT_EQ(timed(2, 9, 2), SyncWay::EachFile) << "a small group takes the faster way";
    count(16, 1, 2, SyncWay::Filesystem);  // a retry finds the filesystem quiet again
    EXPECT_EQ(count(16, 1, 2, SyncWay::Filesystem), 15) << "did not go back to syncing the filesystem";
}

TEST(ParseSize, TakesPowersOf1024AndKeepsToItsRange)
{
    const std::tuple<const char*, std::uint64_t, std::optional<std::uint64_t>> cases[] = {
        {"0", 0, 0},
        {"512", 0, 512},
        {"64K", 0, 64 << 10},
        {"8M", 0, 8 << 20},
        {"4G", 0, std::uint64_t{4} << 30},
        {"64K", 65537, std::nullopt},
        {"12k", 0, std::nullopt},
        {"12KB", 0, std::nullopt},
        {"K", 0, std::nullopt},
        {"-1", 0, std::nullopt},
        {"17179869184G", 0, std::nullopt},
    };
    for (const auto& [text, min, expected] : cases) {
        EXPECT_EQ(collector::parseSize(text, min, UINT64_MAX / 2), expected) << text;
    }
}

TEST(ParseNetwork, TakesAddressesAndPrefixes)
{
    using collector::Network;
    const std::pair<const char*, std::optional<Network>> cases[] = {
        {"10.0.0.0/8", Network{0x0A000000, 0xFF000000}},
        {"10.1.2.3/8", Network{0x0A000000, 0xFF000000}},
        {"192.0.2.7", Network{0xC0000207, 0xFFFFFFFF}},
        {"0.0.0.0/0", Network{0, 0}},
        {"10.0.0.0/33", std::nullopt},
        {"10.0.0.0/", std::nullopt},
        {"10.0.0/8", std::nullopt},
        {"::1", std::nullopt},
        {"example.org", std::nullopt},
    };
    for (const auto& [text, network] : cases) {
        EXPECT_EQ(collector::parseNetwork(text), network) << text;
    }
}

TEST(SenderLimiter, RefusesPastTheLimitUntilTheMinuteIsOver)
{
    collector::SenderLimiter limiter(3);
    const steady_clock::time_point start{seconds(1000)};
    int admitted = 0;
    for (int datagram = 0; datagram < 5; ++datagram) {
        admitted += limiter.admit(0x0A000001, start + seconds(datagram)) ? 1 : 0;
    }
    EXPECT_EQ(admitted, 3);
    EXPECT_TRUE(limiter.admit(0x0A000002, start + seconds(5))) << "another sender has its own count";
    EXPECT_TRUE(limiter.admit(0x0A000001, start + seconds(60)));
}

TEST(SenderLimiter, KeepsCountingAHeavySenderThroughAFloodOfForgedAddresses)
{
    collector::SenderLimiter limiter(10);
    const steady_clock::time_point now{seconds(1000)};
    for (int datagram = 0; datagram < 10; ++datagram) {
        limiter.admit(0x0A000001, now);
    }
    for (std::uint32_t forged = 0; forged < 1'000'000; ++forged) {
        limiter.admit(0xC0000000 + forged, now);
    }
    EXPECT_FALSE(limiter.admit(0x0A000001, now)) << "the flood made the heavy sender's count be forgotten";
    EXPECT_LE(limiter.memoryBytes(), 1U << 20);
}

TEST(DiskBudget, DefaultsToAShareOfTheFilesystemCappedAt4GiB)
{
    const auto small = collector::budgetLimits(std::nullopt, std::nullopt, 1000 << 20);
    EXPECT_EQ(small.maxUse, 100U << 20);
    EXPECT_EQ(small.keepFree, 150U << 20);
    const auto large = collector::budgetLimits(std::nullopt, 0, std::uint64_t{1} << 40);
    EXPECT_EQ(large.maxUse, std::uint64_t{4} << 30);
    EXPECT_EQ(large.keepFree, 0U) << "0 turns the limit off";
}

struct BudgetCase {
    const char* name;
    collector::BudgetLimits limits;
    std::uint64_t free;
    std::uint64_t incoming;
    bool fits;
    std::vector<std::string> removed;
};

TEST(DiskBudget, RemovesTheOldestReportOfTheSenderWithTheMost)
{
    // Three reports of 10.0.0.1, two of 10.0.0.2, one of 10.0.0.3: 6 KiB in 1 KiB blocks.
    const std::pair<const char*, const char*> reports[] = {
        {"a1", "10.0.0.1"}, {"b1", "10.0.0.2"}, {"a2", "10.0.0.1"},
        {"c1", "10.0.0.3"}, {"b2", "10.0.0.2"}, {"a3", "10.0.0.1"},
    };
    const BudgetCase cases[] = {
        {"FitsWithoutRemoving", {8192, 0}, 1 << 30, 2048, true, {}},
        {"FlooderGoesFirst", {7168, 0}, 1 << 30, 2048, true, {"a1"}},
        {"ThenTheNextWithTheMost", {6144, 0}, 1 << 30, 3072, true, {"a1", "a2", "b1"}},
        {"KeepsFreeSpace", {0, 4096}, 5120, 2048, true, {"a1"}},
        {"BlockRoundingCounts", {7168, 0}, 1 << 30, 1025, true, {"a1"}},
        {"LargerThanMaxUse", {7168, 0}, 1 << 30, 7169, false, {}},
        {"CantKeepFreeEvenEmpty", {0, 8192}, 1024, 2048, false, {}},
        {"NoLimits", {0, 0}, 0, 1 << 30, true, {}},
    };
    for (const auto& budgetCase : cases) {
        collector::DiskBudget budget(budgetCase.limits, 1024);
        for (const auto& [name, sender] : reports) {
            budget.add(name, sender, 1024);
        }
        budget.measureFree(budgetCase.free);

        const auto room = budget.makeRoom(budgetCase.incoming);

        EXPECT_EQ(room.fits, budgetCase.fits) << budgetCase.name;
        std::vector<std::string> removed;
        for (const auto& removal : room.removals) {
            removed.push_back(removal.name);
        }
        EXPECT_EQ(removed, budgetCase.removed) << budgetCase.name;
        EXPECT_EQ(budget.count(), 6 - removed.size()) << budgetCase.name;
    }
}

}  // namespace
