#pragma once

// The frames that the receiver has taken off the socket and the store loop
// has yet to store: the one thing the two threads share. Bounded by bytes, so
// that a burst costs at most the queue's size in memory; a frame that does
// not fit is refused at once rather than waited for.
//
// The receiver comes first: a datagram that it is too late for is lost,
// while a frame in the queue only waits. So while frames keep arriving, the
// taker holds back and leaves the processor to the receiver, until the burst
// pauses, half of the queue is full, or the oldest frame has waited
// long enough.

#include "Sender.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

namespace collector {

struct Frame {
    std::vector<unsigned char> bytes;
    Sender sender;
    std::chrono::system_clock::time_point received;
    std::chrono::steady_clock::time_point queued{};  // set by the queue
};

class FrameQueue {
public:
    explicit FrameQueue(std::size_t capacityBytes) : capacity_(capacityBytes) {}

    // Queues each of `frames` that fits within the capacity, in order, and
    // leaves in `frames` only those that did not fit.
    void push(std::vector<Frame>& frames);
    // The frames at hand, oldest first, at most `maxCount` of them and more
    // than `maxBytes` only for a single frame. Waits up to `timeout` for a
    // first frame, then holds back while a burst goes on; empty if no frame
    // came or the queue is closed and empty.
    std::vector<Frame> take(std::size_t maxCount, std::size_t maxBytes, std::chrono::milliseconds timeout);
    // Returns once no burst is going on, or holding back is over (see take()):
    // for a taker that is busy with frames it took.
    void holdBack();
    // No more frames will come: take() returns at once from now on.
    void close();
    bool closed() const;
    bool closedAndEmpty() const;
    std::size_t frameCount() const;
    std::size_t capacity() const { return capacity_; }

    // What one frame costs the queue: its bytes and what holds them.
    static std::size_t cost(const Frame& frame) { return frame.bytes.size() + kOverhead; }

    // A burst has paused once no frame came for this long.
    static constexpr auto kQuiet = std::chrono::milliseconds(10);
    // The longest a frame is held back for a burst.
    static constexpr auto kMostHeld = std::chrono::milliseconds(500);

private:
    static constexpr std::size_t kOverhead = sizeof(Frame) + 32;

    bool holdingBack(std::chrono::steady_clock::time_point now) const;
    void holdBack(std::unique_lock<std::mutex>& lock) const;

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Frame> frames_;
    std::size_t bytes_ = 0;
    std::chrono::steady_clock::time_point lastPush_{};
    bool closed_ = false;
};

}  // namespace collector
