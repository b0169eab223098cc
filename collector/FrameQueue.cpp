#include "collector/FrameQueue.h"

namespace collector {

void FrameQueue::push(std::vector<Frame>& frames)
{
    std::vector<Frame> refused;
    bool wasEmpty = false;
    {
        const crashreports::Lock lock(mutex_);
        wasEmpty = frames_.empty();
        lastPush_ = SteadyClock::now();
        for (auto& frame : frames) {
            frame.queued = lastPush_;
            const std::size_t frameCost = cost(frame);
            if (closed_ || bytes_ + frameCost > capacity_) {
                refused.push_back(std::move(frame));
                continue;
            }
            bytes_ += frameCost;
            frames_.push_back(std::move(frame));
        }
    }
    // Only a queue that was empty can have a taker waiting; a busy taker
    // finds the frames when it comes back.
    if (wasEmpty && refused.size() != frames.size()) {
        ready_.notify_one();
    }
    frames = std::move(refused);
}

bool FrameQueue::waitForFrames(std::chrono::milliseconds timeout)
{
    crashreports::Lock lock(mutex_);
    ready_.wait_for(lock, timeout, [this]() REQUIRES(mutex_) { return !frames_.empty() || closed_; });
    return !frames_.empty();
}

std::vector<Frame> FrameQueue::take(std::size_t maxCount, std::size_t maxBytes)
{
    const crashreports::Lock lock(mutex_);
    std::vector<Frame> batch;
    std::size_t batchBytes = 0;
    while (!frames_.empty() && batch.size() < maxCount
           && (batch.empty() || batchBytes + frames_.front().bytes.size() <= maxBytes)) {
        batchBytes += frames_.front().bytes.size();
        bytes_ -= cost(frames_.front());
        batch.push_back(std::move(frames_.front()));
        frames_.pop_front();
    }
    return batch;
}

void FrameQueue::close()
{
    {
        const crashreports::Lock lock(mutex_);
        closed_ = true;
    }
    ready_.notify_all();
}

QueueLoad FrameQueue::load() const
{
    const crashreports::Lock lock(mutex_);
    return {frames_.size(), bytes_, capacity_, lastPush_,
            frames_.empty() ? SteadyClock::time_point{} : frames_.front().queued, closed_};
}

bool FrameQueue::closed() const
{
    const crashreports::Lock lock(mutex_);
    return closed_;
}

bool FrameQueue::closedAndEmpty() const
{
    const crashreports::Lock lock(mutex_);
    return closed_ && frames_.empty();
}

std::size_t FrameQueue::frameCount() const
{
    const crashreports::Lock lock(mutex_);
    return frames_.size();
}

}  // namespace collector
