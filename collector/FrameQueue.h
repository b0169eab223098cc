#pragma once

// The frames that the receiver has taken off the socket and the store loop
// has yet to store: the one thing the two threads share. Bounded by bytes, so
// that a burst costs at most the queue's size in memory; a frame that does
// not fit is refused at once rather than waited for.

#include "common/Endpoint.h"
#include "common/Mutex.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <vector>

namespace collector {

using crashreports::Endpoint;
using SteadyClock = std::chrono::steady_clock;

struct Frame {
    std::vector<unsigned char> bytes;
    Endpoint sender;
    std::chrono::system_clock::time_point received;
    SteadyClock::time_point queued{};  // set by the queue
};

// How full the queue is and how lately it was fed, at one moment.
struct QueueLoad {
    std::size_t frames = 0;
    std::size_t bytes = 0;
    std::size_t capacity = 0;
    SteadyClock::time_point lastPush{};
    SteadyClock::time_point oldestQueued{};  // of the frame at the front
    bool closed = false;
};

class FrameQueue {
public:
    explicit FrameQueue(std::size_t capacityBytes) : capacity_(capacityBytes) {}

    // Queues each of `frames` that fits within the capacity, in order, and
    // leaves in `frames` only those that did not fit. A closed queue takes
    // none.
    void push(std::vector<Frame>& frames);
    // Waits up to `timeout` for a frame, or for the queue to be closed;
    // whether a frame is there.
    bool waitForFrames(std::chrono::milliseconds timeout);
    // The oldest frames, at most `maxCount` of them and more than `maxBytes`
    // only for a single frame.
    std::vector<Frame> take(std::size_t maxCount, std::size_t maxBytes);
    // No more frames will come: waitForFrames() returns at once from now on.
    void close();

    QueueLoad load() const;
    bool closed() const;
    bool closedAndEmpty() const;
    std::size_t frameCount() const;
    std::size_t capacity() const { return capacity_; }

    // What one frame costs the queue: its bytes and what holds them.
    static std::size_t cost(const Frame& frame) { return frame.bytes.size() + kOverhead; }

private:
    static constexpr std::size_t kOverhead = sizeof(Frame) + 32;

    const std::size_t capacity_;
    mutable crashreports::Mutex mutex_;
    std::condition_variable_any ready_;
    std::deque<Frame> frames_ GUARDED_BY(mutex_);
    std::size_t bytes_ GUARDED_BY(mutex_) = 0;
    SteadyClock::time_point lastPush_ GUARDED_BY(mutex_){};
    bool closed_ GUARDED_BY(mutex_) = false;
};

}  // namespace collector
