#include "store/StoreOptions.h"

#include <algorithm>

namespace store {

namespace {

// `percent` of `total`, rounded down, without overflow.
std::uint64_t share(std::uint64_t total, std::uint64_t percent)
{
    return total / 100 * percent + total % 100 * percent / 100;
}

}  // namespace

BudgetLimits budgetLimits(const BudgetOptions& options, std::uint64_t filesystemBytes,
                          std::uint64_t filesystemInodes)
{
    return {options.maxUse.value_or(std::min(share(filesystemBytes, kDefaultMaxUsePercent), kDefaultCap)),
            options.keepFree.value_or(std::min(share(filesystemBytes, kDefaultKeepFreePercent), kDefaultCap)),
            options.keepFreeInodes.value_or(share(filesystemInodes, kDefaultKeepFreePercent))};
}

std::chrono::seconds ageCheckEvery(std::chrono::seconds maxAge)
{
    return std::min<std::chrono::seconds>(maxAge, std::chrono::minutes(1));
}

}  // namespace store
