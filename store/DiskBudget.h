#pragma once

// What the reports may take of their filesystem: at most `maxUse` bytes in
// all, and never less than `keepFree` bytes left free. To make room for a new
// report, the oldest report of the sender address that holds the most
// reports goes first, so that one flooding sender evicts its own reports
// before anyone else's. The reports are counted once at start and kept up to
// date from then on; the free space is measured once a batch.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace store {

// A report file as found on disk.
struct StoredFile {
    std::string name;
    std::uint64_t bytes = 0;  // what it takes on disk
};

struct BudgetLimits {
    std::uint64_t maxUse = 0;    // 0: no limit
    std::uint64_t keepFree = 0;  // 0: no limit
};

// The limits that are not given default to shares of the filesystem, each
// at most kDefaultCap.
inline constexpr std::uint64_t kDefaultMaxUsePercent = 10;
inline constexpr std::uint64_t kDefaultKeepFreePercent = 15;
inline constexpr std::uint64_t kDefaultCap = std::uint64_t{4} << 30;

// The limits given, or the defaults for a filesystem of `filesystemBytes`.
BudgetLimits budgetLimits(std::optional<std::uint64_t> maxUse, std::optional<std::uint64_t> keepFree,
                          std::uint64_t filesystemBytes);

class DiskBudget {
public:
    // `blockSize`: what a report takes on disk is its size rounded up to it.
    DiskBudget(BudgetLimits limits, std::uint64_t blockSize);

    // A report already on disk.
    void add(const std::string& name, const std::string& sender, std::uint64_t bytes);
    // Counts `files` as all the reports on disk, each for the sender its
    // name gives.
    void recount(const std::vector<StoredFile>& files);
    // The free space measured now.
    void measureFree(std::uint64_t freeBytes) { free_ = freeBytes; }

    struct Removal {
        std::string name;
        std::uint64_t bytes = 0;
    };
    struct Room {
        bool fits = false;
        std::vector<Removal> removals;  // to remove before the report is stored
    };
    // Makes room for a report of `reportSize` bytes: the reports to remove
    // leave the budget's count. If it could not fit even with every report
    // removed, nothing changes.
    Room makeRoom(std::uint64_t reportSize);
    // Counts a report being stored, until it is settled or released.
    void reserve(std::uint64_t reportSize);
    // A reserved report is now stored as `name`, or was not stored at all.
    void settle(const std::string& name, const std::string& sender, std::uint64_t reportSize);
    void release(std::uint64_t reportSize);

    std::uint64_t onDisk(std::uint64_t reportSize) const;
    std::size_t count() const { return names_.size(); }
    const BudgetLimits& limits() const { return limits_; }

private:
    void clear();
    bool overBudget(std::uint64_t incoming) const;
    void remove(const std::string& sender, const std::string& name);
    void rank(const std::string& sender, bool in);

    // A sender's place in the order of removal: most reports first, then
    // the oldest report.
    using Rank = std::tuple<std::size_t, std::string, std::string>;  // count, oldest name, sender
    struct ByMostThenOldest {
        bool operator()(const Rank& left, const Rank& right) const;
    };

    BudgetLimits limits_;
    std::uint64_t blockSize_;
    std::uint64_t total_ = 0;     // reports on disk, and reserved ones
    std::uint64_t reserved_ = 0;  // reports being stored
    std::uint64_t free_ = 0;
    std::map<std::string, std::set<std::string>> bySender_;  // names sort oldest first
    std::map<std::string, std::pair<std::string, std::uint64_t>> names_;  // name: sender, bytes
    std::set<Rank, ByMostThenOldest> ranks_;
};

}  // namespace store
