// How a group of new files is made durable.

#include "SyncChooser.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono;

TEST(SyncChooser, SyncsTheFilesystemUntilThatSlowsDownThenTakesTheFaster)
{
    using store::SyncWay;
    store::SyncChooser chooser;
    // One group of `files`, timed as each way would take it; the way taken.
    const auto timed = [&](std::size_t files, double filesystemSeconds, double eachFileSeconds) {
        const SyncWay way = chooser.choose(files);
        chooser.record(way, duration<double>(way == SyncWay::Filesystem ? filesystemSeconds : eachFileSeconds), files);
        return way;
    };
    const auto count = [&](int groups, double filesystemSeconds, double eachFileSeconds, SyncWay way) {
        int taken = 0;
        for (int group = 0; group < groups; ++group) {
            taken += timed(64, filesystemSeconds, eachFileSeconds) == way ? 1 : 0;
        }
        return taken;
    };

    EXPECT_EQ(count(40, 1, 2, SyncWay::EachFile), 0) << "tried syncing each file on a quiet filesystem";
    EXPECT_EQ(timed(64, 9, 2), SyncWay::Filesystem);
    EXPECT_EQ(timed(64, 9, 2), SyncWay::EachFile) << "a filesystem sync 9 times slower than its best";
    EXPECT_EQ(count(32, 9, 2, SyncWay::Filesystem), 2) << "the slower way is retried every 16th group";
    EXPECT_EQ(timed(2, 9, 2), SyncWay::EachFile) << "a small group takes the faster way";
    count(16, 1, 2, SyncWay::Filesystem);  // a retry finds the filesystem quiet again
    EXPECT_EQ(count(16, 1, 2, SyncWay::Filesystem), 15) << "did not go back to syncing the filesystem";
}

}  // namespace
