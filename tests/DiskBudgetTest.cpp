// What the reports may take of their filesystem, and which go to make room.

#include "DiskBudget.h"

#include <gtest/gtest.h>

namespace {



TEST(DiskBudget, DefaultsToAShareOfTheFilesystemCappedAt4GiB)
{
    const auto small = store::budgetLimits(std::nullopt, std::nullopt, 1000 << 20);
    EXPECT_EQ(small.maxUse, 100U << 20);
    EXPECT_EQ(small.keepFree, 150U << 20);
    const auto large = store::budgetLimits(std::nullopt, 0, std::uint64_t{1} << 40);
    EXPECT_EQ(large.maxUse, std::uint64_t{4} << 30);
    EXPECT_EQ(large.keepFree, 0U) << "0 turns the limit off";
}

struct BudgetCase {
    const char* name;
    store::BudgetLimits limits;
    std::uint64_t free;
    std::uint64_t incoming;
    bool fits;
    std::vector<std::string> removed;
};

TEST(DiskBudget, RemovesTheOldestReportOfTheSenderWithTheMost)
{
    // Three reports of 10.0.0.1, two of 10.0.0.2, one of 10.0.0.3: 6 KiB in 1 KiB blocks.
    const std::pair<const char*, const char*> reports[] = {
        {"a1", "10.0.0.1"}, {"b1", "10.0.0.2"}, {"a2", "10.0.0.1"},
        {"c1", "10.0.0.3"}, {"b2", "10.0.0.2"}, {"a3", "10.0.0.1"},
    };
    const BudgetCase cases[] = {
        {"FitsWithoutRemoving", {8192, 0}, 1 << 30, 2048, true, {}},
        {"FlooderGoesFirst", {7168, 0}, 1 << 30, 2048, true, {"a1"}},
        {"ThenTheNextWithTheMost", {6144, 0}, 1 << 30, 3072, true, {"a1", "a2", "b1"}},
        {"KeepsFreeSpace", {0, 4096}, 5120, 2048, true, {"a1"}},
        {"BlockRoundingCounts", {7168, 0}, 1 << 30, 1025, true, {"a1"}},
        {"LargerThanMaxUse", {7168, 0}, 1 << 30, 7169, false, {}},
        {"CantKeepFreeEvenEmpty", {0, 8192}, 1024, 2048, false, {}},
        {"NoLimits", {0, 0}, 0, 1 << 30, true, {}},
    };
    for (const auto& budgetCase : cases) {
        store::DiskBudget budget(budgetCase.limits, 1024);
        for (const auto& [name, sender] : reports) {
            budget.add(name, sender, 1024);
        }
        budget.measureFree(budgetCase.free);

        const auto room = budget.makeRoom(budgetCase.incoming);

        EXPECT_EQ(room.fits, budgetCase.fits) << budgetCase.name;
        std::vector<std::string> removed;
        for (const auto& removal : room.removals) {
            removed.push_back(removal.name);
        }
        EXPECT_EQ(removed, budgetCase.removed) << budgetCase.name;
        EXPECT_EQ(budget.count(), 6 - removed.size()) << budgetCase.name;
    }
}

}  // namespace
