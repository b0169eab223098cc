// What the reports may take of their filesystem, and which group gives way
// to make room.

#include "store/directory/DiskBudget.h"

#include <gtest/gtest.h>

namespace {

using store::BudgetLimits;
using store::DiskBudget;
using store::GroupLoad;

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
    budget.reserve("a", 1000);
    budget.reserve("a", 1000);
    EXPECT_TRUE(budget.overBudget(1000));
    budget.release("a", 1000);
    EXPECT_FALSE(budget.overBudget(1000));
    budget.settle("a", 1000);
    EXPECT_TRUE(budget.pending().empty());
    EXPECT_TRUE(budget.overBudget(2048)) << "a settled report does not count as stored";
    budget.removed(1024);
    EXPECT_FALSE(budget.overBudget(2048));
}

// Stored groups, reports of some being stored, the incoming report's group,
// and the group whose oldest report goes next.
struct Shrink {
    const char* name;
    std::vector<GroupLoad> stored;
    std::vector<std::pair<std::string, std::uint64_t>> pending;  // group, report size
    std::string incoming;
    std::optional<std::string> chosen;
    bool commitFirst = false;
};

TEST(DiskBudget, ShrinksTheLargestGroupButNeverTakesAGroupsOnlyReportFirst)
{
    const Shrink shrinks[] = {
        {"TheGroupWithTheMostBytes", {{"a", 3, 3072}, {"b", 2, 5120}}, {}, "c", "b"},
        {"NotTheOnlyReportWhileAnotherHasMore", {{"a", 1, 9216}, {"b", 2, 2048}}, {}, "c", "b"},
        {"OnlySingleReportsLeft", {{"a", 1, 2048}, {"b", 1, 9216}}, {}, "c", "b"},
        {"ReportsBeingStoredCountForTheirGroup", {{"a", 2, 3072}, {"b", 2, 2048}}, {{"b", 1024}, {"b", 1024}}, "c",
         "b"},
        {"TheIncomingReportCountsForItsGroup", {{"a", 1, 9216}, {"b", 2, 1024}}, {}, "a", "a"},
        {"TheLargestHasOnlyReportsBeingStored", {{"a", 2, 2048}, {"b", 0, 0}}, {{"b", 1024}, {"b", 1024}}, "b",
         std::nullopt, true},
        {"NothingStoredToRemove", {{"a", 0, 0}}, {}, "a", std::nullopt},
        {"TiesGoToTheSmallerId", {{"b", 2, 2048}, {"a", 2, 2048}}, {}, "c", "a"},
    };
    for (const auto& shrink : shrinks) {
        DiskBudget budget({}, 1024);
        for (const auto& [group, size] : shrink.pending) {
            budget.reserve(group, size);
        }
        const auto choice = budget.groupToShrink(shrink.stored, shrink.incoming, 1024);
        EXPECT_EQ(choice.group, shrink.chosen) << shrink.name;
        EXPECT_EQ(choice.commitFirst, shrink.commitFirst) << shrink.name;
    }
}

}  // namespace
