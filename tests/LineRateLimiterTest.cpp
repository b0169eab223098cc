// The bound on the log lines that senders can cause.

#include "collector/LineRateLimiter.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono;
using collector::LineRateLimiter;

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

}  // namespace
