// What the reports may take of their filesystem, and which report gives
// way to make room.

#include "store/directory/DiskBudget.h"

#include <gtest/gtest.h>

namespace {

using store::BudgetLimits;
using store::DiskBudget;
using store::Load;
using store::Victim;

TEST(DiskBudget, DefaultsToASharesOfTheFilesystemCappedAt4GiB)
{
    const auto small = store::budgetLimits({}, 1000 << 20, 1'000'000);
    EXPECT_EQ(small.maxUse, 100U << 20);
    EXPECT_EQ(small.keepFree, 150U << 20);
    EXPECT_EQ(small.keepFreeInodes, 150'000U);
    const auto large = store::budgetLimits({.keepFree = 0}, std::uint64_t{1} << 40, 0);
    EXPECT_EQ(large.maxUse, std::uint64_t{4} << 30);
    EXPECT_EQ(large.keepFree, 0U) << "0 turns the limit off";
    EXPECT_EQ(large.keepFreeInodes, 0U) << "a filesystem without an inode count";
    EXPECT_EQ(store::budgetLimits({}, 1 << 20, 64).keepFreeInodes, 9U) << "a small filesystem keeps its share";
}

// A budget in 1 KiB blocks, with what is stored and free, and a report of
// `incoming` bytes coming.
struct Fit {
    const char* name;
    BudgetLimits limits;
    std::uint64_t storedDisk;
    std::uint64_t storedCount;
    std::uint64_t freeBytes;
    std::uint64_t freeInodes;
    std::uint64_t incoming;
    bool couldFit;
    bool overBudget;
};

TEST(DiskBudget, KnowsWhenAReportIsOverALimitAndWhenItCanNeverFit)
{
    const Fit fits[] = {
        {"WithinEveryLimit", {10240, 4096, 100}, 4096, 4, 1 << 20, 1000, 1000, true, false},
        {"OverMaxUse", {10240, 0, 0}, 9216, 9, 1 << 20, 1000, 2000, true, true},
        {"BlockRoundingCounts", {10240, 0, 0}, 9216, 9, 1 << 20, 1000, 1025, true, true},
        {"TooLittleFreeSpace", {0, 8192, 0}, 4096, 4, 9000, 1000, 1000, true, true},
        {"TooFewFreeInodes", {0, 0, 100}, 4096, 4, 1 << 20, 100, 10, true, true},
        {"LargerThanMaxUse", {10240, 0, 0}, 0, 0, 1 << 20, 1000, 10241, false, true},
        {"NoFreeSpaceEvenEmpty", {0, 8192, 0}, 1024, 1, 4096, 1000, 1024, false, true},
        {"NoInodeEvenEmpty", {0, 0, 100}, 1024, 1, 1 << 20, 98, 10, false, true},
        {"NoLimits", {0, 0, 0}, 1 << 30, 1 << 20, 0, 0, 1 << 30, true, false},
    };
    for (const auto& fit : fits) {
        DiskBudget budget(fit.limits, 1024);
        budget.measure(fit.storedDisk, fit.storedCount, fit.freeBytes, fit.freeInodes);
        EXPECT_EQ(budget.couldFit(fit.incoming), fit.couldFit) << fit.name;
        EXPECT_EQ(budget.overBudget(fit.incoming), fit.overBudget) << fit.name;
    }
}

TEST(DiskBudget, CountsReportsBeingStoredUntilTheyAreSettledOrReleased)
{
    DiskBudget budget({3072, 0, 0}, 1024);
    budget.measure(1024, 1, 1 << 20, 1000);
    budget.reserve("a", "10.0.0.1", 1000);
    budget.reserve("a", "10.0.0.1", 1000);
    EXPECT_TRUE(budget.overBudget(1000));
    budget.release("a", "10.0.0.1", 1000);
    EXPECT_FALSE(budget.overBudget(1000));
    budget.settle("a", "10.0.0.1", 1000);
    EXPECT_TRUE(budget.pendingGroups().empty());
    EXPECT_TRUE(budget.pendingSenders().empty());
    EXPECT_TRUE(budget.overBudget(2048)) << "a settled report does not count as stored";
    budget.removed(1024);
    EXPECT_FALSE(budget.overBudget(2048));
}

TEST(DiskBudget, CountsTheIndexAndMakesRoomBelowItsLimitsBySomeSlack)
{
    DiskBudget budget({64 << 10, 0, 0}, 1024);
    budget.measure(40 << 10, 40, 1 << 30, 1000, 20 << 10);
    EXPECT_TRUE(budget.overBudget(5000)) << "the index left no room";
    EXPECT_FALSE(budget.overBudget(4000));
    EXPECT_EQ(budget.slackOf(64 << 10), 4096U);
    EXPECT_TRUE(budget.aboveTarget(1000)) << "room is made down to 4 KiB below the limit";
    budget.removed(4096);
    EXPECT_FALSE(budget.aboveTarget(1000));
}

// Stored groups and senders, reports of some being stored, the incoming
// report's group and sender, and what goes next.
struct Choice {
    const char* name;
    std::vector<Load> groups;
    std::vector<Load> senders;
    std::vector<std::tuple<std::string, std::string, std::uint64_t>> pending;  // group, sender, report size
    std::pair<std::string, std::string> incoming;                           // group, sender
    Victim chosen;
    std::uint64_t incomingSize = 1024;
};

TEST(DiskBudget, ShrinksTheLargestGroupThenTheHeaviestSenderAndTakesAnotherHostsOnlyReportLast)
{
    using enum Victim::Kind;
    const Load one{"10.0.0.1", 1, 1024};
    const Choice choices[] = {
        {"TheGroupWithTheMostBytes", {{"a", 3, 3072}, {"b", 2, 5120}}, {}, {}, {"c", "x"}, {OldestOfGroup, "b"}},
        {"NotTheOnlyReportWhileAnotherHasMore", {{"a", 1, 9216}, {"b", 2, 2048}}, {}, {}, {"c", "x"},
         {OldestOfGroup, "b"}},
        {"OnlySingleReportsLeft", {{"a", 1, 2048}, {"b", 1, 9216}}, {{"10.0.0.1", 1, 2048}, {"10.0.0.2", 1, 9216}}, {},
         {"c", "10.0.0.3"}, {OldestOfSender, "10.0.0.2"}},
        {"ReportsBeingStoredCountForTheirGroup", {{"a", 2, 3072}, {"b", 2, 2048}}, {},
         {{"b", "x", 1024}, {"b", "x", 1024}}, {"c", "x"}, {OldestOfGroup, "b"}},
        {"TheIncomingReportCountsForItsGroup", {{"a", 1, 9216}, {"b", 2, 1024}}, {}, {}, {"a", "x"},
         {OldestOfGroup, "a"}},
        {"TheLargestHasOnlyReportsBeingStored", {{"a", 2, 2048}, {"b", 0, 0}}, {},
         {{"b", "x", 1024}, {"b", "x", 1024}}, {"b", "x"}, {CommitFirst, {}}},
        {"NothingStoredToRemove", {{"a", 0, 0}}, {}, {}, {"a", "x"}, {}},
        {"TiesGoToTheSmallerId", {{"b", 2, 2048}, {"a", 2, 2048}}, {}, {}, {"c", "x"}, {OldestOfGroup, "a"}},
        {"AFloodOfCrashesOfTheirOwnEvictsItsSender", {{"a1", 1, 16384}, {"b1", 1, 4096}, {"b2", 1, 4096}},
         {{"10.0.0.1", 10, 163840}, {"10.0.0.2", 50, 204800}}, {}, {"b3", "10.0.0.2"},
         {OldestOfSender, "10.0.0.2"}},
        {"MoreReportsOutweighMoreBytes", {{"a1", 1, 16384}, {"b1", 1, 4096}},
         {{"10.0.0.1", 10, 163840}, {"10.0.0.2", 11, 45056}}, {}, {"b2", "10.0.0.2"},
         {OldestOfSender, "10.0.0.2"}},
        {"BetweenEqualsTheIncomingSenderPays", {{"a1", 1, 16384}, {"b1", 1, 4096}},
         {{"10.0.0.1", 10, 163840}, {"10.0.0.2", 9, 36864}}, {}, {"b2", "10.0.0.2"}, {OldestOfSender, "10.0.0.2"}},
        {"BytesBreakATieOfReports", {{"a1", 1, 16384}, {"b1", 1, 4096}},
         {{"10.0.0.1", 3, 49152}, {"10.0.0.2", 3, 12288}}, {}, {"c1", "10.0.0.3"}, {OldestOfSender, "10.0.0.1"}},
        {"ReportsBeingStoredCountForTheirSender", {{"a1", 1, 16384}, {"b1", 1, 4096}},
         {{"10.0.0.1", 2, 32768}, {"10.0.0.2", 1, 4096}}, {{"b2", "10.0.0.2", 30000}}, {"c1", "10.0.0.3"},
         {OldestOfSender, "10.0.0.2"}},
        {"ASenderWithOnlyReportsBeingStored", {{"a1", 1, 1024}}, {one}, {{"b1", "10.0.0.2", 9000}},
         {"b2", "10.0.0.2"}, {CommitFirst, {}}},
        {"TheIncomingAloneOutweighsEveryone", {{"a1", 1, 1024}}, {one}, {}, {"c1", "10.0.0.3"},
         {OldestOfSender, "10.0.0.1"}, 1 << 20},
    };
    for (const auto& choice : choices) {
        DiskBudget budget({}, 1024);
        for (const auto& [group, sender, size] : choice.pending) {
            budget.reserve(group, sender, size);
        }
        const store::Incoming incoming{choice.incoming.first, choice.incoming.second, choice.incomingSize};
        EXPECT_EQ(budget.chooseVictim(choice.groups, choice.senders, incoming), choice.chosen) << choice.name;
    }
}

TEST(DiskBudget, WeighsAGroupMergedIntoAnotherInItsTarget)
{
    using enum Victim::Kind;
    std::vector<Load> groups{{"member", 2, 16384}, {"target", 2, 16384}, {"large", 3, 24576}, {"alone", 1, 4096}};
    DiskBudget budget({}, 1024);

    store::weighInTargets(groups, {{"member", "target"}});

    EXPECT_EQ(groups, (std::vector<Load>{{"alone", 1, 4096}, {"large", 3, 24576}, {"target", 4, 32768}}));
    EXPECT_EQ(budget.chooseVictim(groups, {}, {"other", "10.0.0.1", 1024}), (Victim{OldestOfGroup, "target"}))
        << "the larger group, once its merged group counts in it";
}

}  // namespace
