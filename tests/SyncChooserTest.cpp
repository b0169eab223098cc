// How a group of new files is made durable: each file, or one filesystem
// sync, as their costs on this filesystem say.

#include "store/directory/SyncChooser.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace std::chrono;
using store::SyncChooser;
using store::SyncPlan;

// A filesystem as the chooser sees it: what syncing one file costs, and what
// one filesystem sync costs (more while other programs have data to write).
struct Filesystem {
    double secondsPerFile;
    double secondsPerSync;
};

// Plans `groups` groups of `size` files on `filesystem`, timing each as it
// would take there; the plans.
std::vector<SyncPlan> run(SyncChooser& chooser, int groups, std::size_t size, Filesystem filesystem)
{
    std::vector<SyncPlan> plans;
    for (int group = 0; group < groups; ++group) {
        const SyncPlan plan = chooser.plan(size);
        chooser.recordEachFile(duration<double>(filesystem.secondsPerFile * static_cast<double>(plan.eachFile)),
                               plan.eachFile);
        if (plan.filesystem && plan.eachFile < size) {
            chooser.recordFilesystem(duration<double>(filesystem.secondsPerSync));
        }
        plans.push_back(plan);
    }
    return plans;
}

std::size_t count(const std::vector<SyncPlan>& plans, const SyncPlan& plan)
{
    return static_cast<std::size_t>(std::ranges::count(plans, plan));
}

constexpr Filesystem kQuiet{100e-6, 2e-3};
constexpr Filesystem kShared{100e-6, 0.5};

TEST(SyncChooser, LearnsBothWaysOnTheFirstLargeGroupAndTakesTheCheaper)
{
    SyncChooser chooser;
    EXPECT_EQ(run(chooser, 1, 1, kQuiet).front(), (SyncPlan{1, false})) << "one report synced the whole filesystem";
    EXPECT_EQ(run(chooser, 1, 1024, kQuiet).front(), (SyncPlan{SyncChooser::kTrialFiles, true}))
        << "the first large group did not try both ways";
    EXPECT_GE(count(run(chooser, 100, 1024, kQuiet), SyncPlan{0, true}), 95U) << "not all but the few trials";
    EXPECT_EQ(run(chooser, 1, 4, kQuiet).front(), (SyncPlan{4, false})) << "a small group pays a whole journal commit";
}

TEST(SyncChooser, KeepsToEachFileWhereOthersWriteAndTriesLessOftenWhileItLoses)
{
    SyncChooser chooser;
    const auto plans = run(chooser, 2000, 1024, kShared);

    EXPECT_EQ(count(plans, SyncPlan{0, true}), 0U);
    EXPECT_EQ(plans.front(), (SyncPlan{SyncChooser::kTrialFiles, true}));
    EXPECT_EQ(plans[1], (SyncPlan{1024, false})) << "stayed with a filesystem sync that costs others";
    const std::size_t trials = count(plans, SyncPlan{1024 - SyncChooser::kTrialFiles, true});
    EXPECT_GE(trials, 4U);
    EXPECT_LE(trials, 10U) << "trials did not grow rarer";
}

TEST(SyncChooser, GoesBackToEachFileOnceAFilesystemSyncTurnsSlow)
{
    SyncChooser chooser;
    run(chooser, 20, 1024, kQuiet);
    ASSERT_EQ(run(chooser, 1, 1024, kQuiet).front(), (SyncPlan{0, true}));

    run(chooser, 1, 1024, kShared);  // another program started writing

    EXPECT_EQ(run(chooser, 1, 1024, kShared).front(), (SyncPlan{1024, false}));
}

}  // namespace
