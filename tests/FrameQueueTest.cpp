// The queue between the receiving and the storing thread, and the policy
// that lets the receiver come first in a burst.

#include "collector/BurstPolicy.h"
#include "collector/FrameQueue.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono;
using collector::BurstPolicy;
using collector::Frame;
using collector::FrameQueue;

Frame frameOf(std::size_t size, unsigned char fill = 0)
{
    return Frame{std::vector<unsigned char>(size, fill), {}, {}, {}};
}

std::vector<unsigned char> fillsOf(const std::vector<Frame>& frames)
{
    std::vector<unsigned char> fills;
    for (const auto& frame : frames) {
        fills.push_back(frame.bytes.front());
    }
    return fills;
}

TEST(FrameQueue, GivesFramesBackInTheOrderTheyCame)
{
    FrameQueue queue(1 << 20);
    std::vector<Frame> frames;
    for (unsigned char fill = 1; fill <= 5; ++fill) {
        frames.push_back(frameOf(10, fill));
    }
    queue.push(frames);

    EXPECT_EQ(fillsOf(queue.take(3, 1 << 20)), (std::vector<unsigned char>{1, 2, 3}));
    EXPECT_EQ(fillsOf(queue.take(10, 1 << 20)), (std::vector<unsigned char>{4, 5}));
}

TEST(FrameQueue, RefusesWhatItsCapacityInBytesCantHoldAndHandsItBack)
{
    FrameQueue queue(2 * FrameQueue::cost(frameOf(1000)) + FrameQueue::cost(frameOf(5)));
    std::vector<Frame> frames;
    for (unsigned char fill = 1; fill <= 3; ++fill) {
        frames.push_back(frameOf(1000, fill));
    }
    frames.push_back(frameOf(5, 4));  // small enough for what is left

    queue.push(frames);

    EXPECT_EQ(fillsOf(frames), (std::vector<unsigned char>{3}));
    EXPECT_EQ(queue.frameCount(), 3U);
    queue.take(1, 1 << 20);
    std::vector<Frame> again{frameOf(1000, 5)};
    queue.push(again);
    EXPECT_TRUE(again.empty()) << "taking a frame did not give its bytes back";
}

TEST(FrameQueue, TakesPastItsByteBoundOnlyForASingleFrame)
{
    FrameQueue queue(1 << 20);
    std::vector<Frame> frames{frameOf(3000, 1), frameOf(3000, 2)};
    queue.push(frames);

    EXPECT_EQ(queue.take(10, 1000).size(), 1U);
    EXPECT_EQ(queue.take(10, 1000).size(), 1U);
}

TEST(FrameQueue, StopsWaitingAndTakesNoMoreOnceClosed)
{
    FrameQueue queue(1 << 20);
    queue.close();
    const auto start = steady_clock::now();

    EXPECT_FALSE(queue.waitForFrames(seconds(10)));
    EXPECT_LT(steady_clock::now() - start, seconds(5));
    std::vector<Frame> late{frameOf(10)};
    queue.push(late);
    EXPECT_EQ(late.size(), 1U) << "a closed queue took a frame";
    EXPECT_TRUE(queue.closedAndEmpty());
}

struct Burst {
    const char* name;
    collector::QueueLoad load;
    bool holdsBack;
    friend void PrintTo(const Burst& burst, std::ostream* out) { *out << burst.name; }
};

class BurstHoldBack : public testing::TestWithParam<Burst> {};

// The moment at which each load is judged.
const steady_clock::time_point kNow{seconds(1000)};

TEST_P(BurstHoldBack, OnlyWhileTheBurstGoesOnAndTheQueueHasRoom)
{
    EXPECT_EQ(BurstPolicy::holdsBack(GetParam().load, kNow), GetParam().holdsBack);
}

const Burst kBursts[] = {
    {"FramesStillArriving", {10, 1000, 100000, kNow - milliseconds(1), kNow - milliseconds(20), false}, true},
    {"BurstPaused", {10, 1000, 100000, kNow - BurstPolicy::kQuiet, kNow - milliseconds(20), false}, false},
    {"QueueHalfFull", {10, 50000, 100000, kNow - milliseconds(1), kNow - milliseconds(20), false}, false},
    {"OldestWaitedLongEnough", {10, 1000, 100000, kNow - milliseconds(1), kNow - BurstPolicy::kMostHeld, false},
     false},
    {"QueueClosed", {10, 1000, 100000, kNow - milliseconds(1), kNow - milliseconds(20), true}, false},
    {"NothingQueued", {0, 0, 100000, kNow - milliseconds(1), {}, false}, false},
};

INSTANTIATE_TEST_SUITE_P(Loads, BurstHoldBack, testing::ValuesIn(kBursts),
                         [](const testing::TestParamInfo<Burst>& param) { return param.param.name; });

TEST(BurstPolicy, TheReceiverLooksAgainOnlyWithinABurst)
{
    using Duration = BurstPolicy::Duration;
    const std::tuple<Duration, Duration, bool> cases[] = {
        {microseconds(5), microseconds(10), true},
        {microseconds(5), BurstPolicy::kSpin, false},   // the burst has paused
        {BurstPolicy::kSpin, microseconds(10), false},  // a trickle, not a burst
        {Duration::max(), microseconds(1), false},      // the first batch
    };
    for (const auto& [lastGap, since, looks] : cases) {
        EXPECT_EQ(BurstPolicy::keepsLooking(lastGap, since), looks) << lastGap.count() << " " << since.count();
    }
}

}  // namespace
