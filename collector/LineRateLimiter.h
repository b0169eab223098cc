#pragma once

// Bounds the log lines that senders can cause, so that a flood of bad
// datagrams can't fill a disk with logs: at most `perSecond` lines in each
// one-second window, the rest counted and reported in one line later.

#include <chrono>
#include <cstdint>

namespace collector {

class LineRateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    explicit LineRateLimiter(std::uint64_t perSecond) : perSecond_(perSecond) {}

    struct Decision {
        bool allowed = false;
        std::uint64_t suppressedBefore = 0;  // lines suppressed in a window now over
    };

    // Whether one more line may be written at `now`.
    Decision admit(Clock::time_point now);
    // The count of suppressed lines once their window is over, else 0. For
    // an idle collector, so that a count is not kept back until the next line.
    std::uint64_t takeSuppressed(Clock::time_point now);
    // The count of suppressed lines whatever the time: for the end of the run.
    std::uint64_t takeAllSuppressed();
    bool holdsSuppressed() const { return suppressed_ != 0 || suppressedInOverWindows_ != 0; }

private:
    void startWindowIfOver(Clock::time_point now);

    std::uint64_t perSecond_;
    Clock::time_point windowStart_{};
    std::uint64_t written_ = 0;
    std::uint64_t suppressed_ = 0;
    std::uint64_t suppressedInOverWindows_ = 0;
};

}  // namespace collector
