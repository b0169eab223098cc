#pragma once

// How the collector gets through a burst of datagrams. The receiver comes
// first: a datagram that it is too late for is lost, while a frame in the
// queue only waits. So within a burst the receiver looks again for the next
// datagram rather than sleeping, and storing holds back, leaving the
// processor to the receiver, until the burst pauses, half of the queue is
// full, or the oldest frame has waited long enough. Storing then takes what
// is at hand in batches.

#include "collector/FrameQueue.h"

#include <chrono>
#include <cstddef>

namespace collector {

struct BurstPolicy {
    using Duration = SteadyClock::duration;

    // A burst has paused once no frame came for this long.
    static constexpr auto kQuiet = std::chrono::milliseconds(10);
    // The longest a frame is held back for a burst.
    static constexpr auto kMostHeld = std::chrono::milliseconds(500);
    // Within a burst the next datagram is usually a few microseconds away:
    // the receiver looks again for this long rather than going to sleep and
    // being woken, which costs more and may let the socket buffer overflow
    // meanwhile. A steady trickle with longer gaps never spins.
    static constexpr auto kSpin = std::chrono::microseconds(50);
    // The longest the receiver receives before it looks whether it is to
    // stop, so that a flood that never lets the socket run dry can't keep it
    // from stopping.
    static constexpr auto kMostReceiving = std::chrono::milliseconds(50);
    // Datagrams taken off the socket with one call.
    static constexpr std::size_t kReceiveBatch = 64;
    // A batch for storing is what the queue holds, up to these bounds.
    static constexpr std::size_t kBatchFrames = 1024;
    static constexpr std::size_t kBatchBytes = 4 << 20;

    // Whether storing holds back at `now`, given the queue's load.
    static bool holdsBack(const QueueLoad& load, SteadyClock::time_point now);
    // Whether the receiver, finding the socket empty, looks again rather
    // than waiting to be woken: the gap between its last two batches and the
    // time since the last one are both within kSpin.
    static bool keepsLooking(Duration lastGap, Duration sinceLastData);
};

// Returns once storing need not hold back for `queue` (see holdsBack()).
void holdBackWhileBursting(const FrameQueue& queue);

}  // namespace collector
