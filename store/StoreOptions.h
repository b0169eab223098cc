#pragma once

// What the collector asks of any store it stores into.

#include "DiskBudget.h"

#include <chrono>

namespace store {

struct StoreOptions {
    // A directory takes all three limits; a database only maxUse, as the
    // bytes of reports across all its collectors.
    BudgetOptions budget;
    // A group whose last report is this old comes back as regressed.
    std::chrono::seconds regressedAfter = std::chrono::hours(24 * 7);
};

}  // namespace store
