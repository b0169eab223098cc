// The collector's pure pieces: report file names, the log rate limit and the
// atomic store.

#include "LineRateLimiter.h"
#include "ReportStore.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace std::chrono;
using collector::LineRateLimiter;
using collector::ReportStore;
using collector::Sender;
using namespace test_support;

TEST(ReportFileName, CarriesUtcTimeSenderAndSequence)
{
    // 2026-12-08T11:59:59.000042Z
    const system_clock::time_point received{seconds(1796731199) + microseconds(42)};
    EXPECT_EQ(collector::reportFileName(received, Sender{"10.1.2.3", 40000}, 7),
              "20261208T115959.000042Z_10.1.2.3_40000_000007.report");
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

std::vector<std::string> namesIn(const std::filesystem::path& directory)
{
    std::vector<std::string> names;
    for (const auto& file : filesIn(directory)) {
        names.push_back(file.filename().string());
    }
    return names;
}

TEST(ReportStore, StoresTheBytesUnderANameOfItsOwn)
{
    TempDir dir;
    ReportStore store(dir.path() / "reports" / "nested");
    const Bytes report = randomBytes(5000);

    const auto result = store.store(report, Sender{"127.0.0.1", 5}, system_clock::now());

    ASSERT_TRUE(result.path) << result.error;
    EXPECT_EQ(readFile(*result.path), report);
    EXPECT_EQ(namesIn(store.directory()), std::vector{result.path->filename().string()});
    EXPECT_EQ(store.syncDirectory(), "");
}

TEST(ReportStore, NeverReplacesAReport)
{
    TempDir dir;
    const system_clock::time_point received{seconds(1796731199)};
    const Sender sender{"127.0.0.1", 5};
    ASSERT_TRUE(ReportStore(dir.path()).store(toBytes("first"), sender, received).path);

    // A restarted collector counts from 1 again; the same instant gives the same name.
    const auto second = ReportStore(dir.path()).store(toBytes("second"), sender, received);

    EXPECT_FALSE(second.path);
    EXPECT_NE(second.error.find("File exists"), std::string::npos) << second.error;
    const auto names = namesIn(dir.path());
    ASSERT_EQ(names.size(), 1U) << "a temporary file was left behind";
    EXPECT_EQ(readFile(dir.path() / names[0]), toBytes("first"));
}

TEST(ReportStore, FailsWithoutLeavingATemporaryWhenTheDirectoryIsGone)
{
    TempDir dir;
    ReportStore store(dir.path() / "reports");
    std::filesystem::remove(dir.path() / "reports");

    const auto result = store.store(toBytes("report"), Sender{"127.0.0.1", 5}, system_clock::now());

    EXPECT_FALSE(result.path);
    EXPECT_NE(result.error.find("can't create"), std::string::npos) << result.error;
}

TEST(ReportStore, RemovesTemporariesLeftByAKilledCollector)
{
    TempDir dir;
    dir.write(".incoming-20261208T115959.000042Z_127.0.0.1_5_000001.report.tmp", "half a rep");
    dir.write("kept.report", "whole");

    ReportStore store(dir.path());

    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"kept.report"});
}

TEST(ReportStore, RefusesADirectoryItCannotCreate)
{
    TempDir dir;
    const auto file = dir.write("file", "x");
    EXPECT_THROW(ReportStore(file / "reports"), std::system_error);
}

}  // namespace
