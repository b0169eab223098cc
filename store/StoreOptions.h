#pragma once

// What the collector asks of any store it stores into.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

namespace store {

struct BudgetLimits {
    std::uint64_t maxUse = 0;          // 0: no limit
    std::uint64_t keepFree = 0;        // 0: no limit
    std::uint64_t keepFreeInodes = 0;  // 0: no limit
};

// The limits that are not given default to shares of the filesystem, each
// at most kDefaultCap bytes.
inline constexpr std::uint64_t kDefaultMaxUsePercent = 10;
inline constexpr std::uint64_t kDefaultKeepFreePercent = 15;
inline constexpr std::uint64_t kDefaultCap = std::uint64_t{4} << 30;

// The limits asked for; a limit not given defaults to a share of the
// filesystem.
struct BudgetOptions {
    std::optional<std::uint64_t> maxUse;
    std::optional<std::uint64_t> keepFree;
    std::optional<std::uint64_t> keepFreeInodes;
};

// The limits given, or the defaults for a filesystem of `filesystemBytes`
// and `filesystemInodes` (the share of inodes is keepFree's).
BudgetLimits budgetLimits(const BudgetOptions& options, std::uint64_t filesystemBytes,
                          std::uint64_t filesystemInodes);

// A crash group whose last report is this old comes back as regressed with
// its next one: the collector's news (--regressed-after), and the mark on
// the page, by default.
inline constexpr std::chrono::seconds kDefaultRegressedAfter = std::chrono::hours(24 * 7);

struct StoreOptions {
    // A directory takes all three limits; a database only maxUse, as the
    // bytes of reports across all its collectors.
    BudgetOptions budget;
    // A group whose last report is this old comes back as regressed.
    std::chrono::seconds regressedAfter = kDefaultRegressedAfter;
    // What else of the collector's own takes the store's filesystem (the
    // triage page), counted in --max-use; kept up to date by another thread.
    const std::atomic<std::uint64_t>* alsoOnDisk = nullptr;
    // Reports older than this are removed, but for each group's newest.
    std::optional<std::chrono::seconds> maxAge = std::nullopt;
};

// How often reports past the age are looked for: a minute, or the age if it
// is shorter.
std::chrono::seconds ageCheckEvery(std::chrono::seconds maxAge);

}  // namespace store
