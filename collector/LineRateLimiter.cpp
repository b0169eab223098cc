#include "collector/LineRateLimiter.h"

#include <utility>

namespace collector {

void LineRateLimiter::startWindowIfOver(Clock::time_point now)
{
    if (now - windowStart_ >= std::chrono::seconds(1)) {
        windowStart_ = now;
        written_ = 0;
        suppressedInOverWindows_ += std::exchange(suppressed_, 0);
    }
}

LineRateLimiter::Decision LineRateLimiter::admit(Clock::time_point now)
{
    startWindowIfOver(now);
    Decision decision;
    decision.suppressedBefore = std::exchange(suppressedInOverWindows_, 0);
    if (written_ < perSecond_) {
        ++written_;
        decision.allowed = true;
    } else {
        ++suppressed_;
    }
    return decision;
}

std::uint64_t LineRateLimiter::takeSuppressed(Clock::time_point now)
{
    startWindowIfOver(now);
    return std::exchange(suppressedInOverWindows_, 0);
}

std::uint64_t LineRateLimiter::takeAllSuppressed()
{
    return std::exchange(suppressedInOverWindows_, 0) + std::exchange(suppressed_, 0);
}

}  // namespace collector
