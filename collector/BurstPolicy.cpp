#include "collector/BurstPolicy.h"

#include <thread>

namespace collector {

bool BurstPolicy::holdsBack(const QueueLoad& load, SteadyClock::time_point now)
{
    return !load.closed && load.frames != 0 && now - load.lastPush < kQuiet && load.bytes < load.capacity / 2
        && now - load.oldestQueued < kMostHeld;
}

bool BurstPolicy::keepsLooking(Duration lastGap, Duration sinceLastData)
{
    return lastGap < kSpin && sinceLastData < kSpin;
}

void holdBackWhileBursting(const FrameQueue& queue)
{
    while (BurstPolicy::holdsBack(queue.load(), SteadyClock::now())) {
        std::this_thread::sleep_for(BurstPolicy::kQuiet);
    }
}

}  // namespace collector
