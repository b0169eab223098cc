#pragma once

// Private to store/directory/.

// What the reports may take of their filesystem: at most `maxUse` bytes in
// all, never less than `keepFree` bytes and `keepFreeInodes` inodes left
// free. To make room for a new report, the oldest report of the group (of
// one crash signature) that holds the most bytes goes first, and never the
// only report of a group while another group holds more than one: a storm of
// one crash evicts its own reports, and every other crash keeps at least its
// last one. Reports being stored count against their own group.
//
// Pure decisions: the store tells the budget what is stored and what is
// free, and asks it whether a report fits and which group gives way.

#include "store/StoreOptions.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>

namespace store {

// A group's stored reports, as the store knows them.
struct GroupLoad {
    std::string group;
    std::uint64_t count = 0;
    std::uint64_t disk = 0;
};

class DiskBudget {
public:
    // `blockSize`: what a report takes on disk is its size rounded up to it.
    DiskBudget(BudgetLimits limits, std::uint64_t blockSize);

    // What is stored (its bytes on disk and its count), and what the
    // filesystem has free, measured now.
    void measure(std::uint64_t storedDisk, std::uint64_t storedCount, std::uint64_t freeBytes,
                 std::uint64_t freeInodes);

    // Whether a report of `reportSize` bytes could fit if every stored
    // report were removed.
    bool couldFit(std::uint64_t reportSize) const;
    // Whether a report of `reportSize` bytes is over a limit with what is
    // stored and being stored now.
    bool overBudget(std::uint64_t reportSize) const;
    // Which group's oldest stored report goes next to make room for a report
    // of `incomingSize` bytes of `incomingGroup`, among `candidates` (the
    // stored reports of the groups that may be largest, with those being
    // stored). The reports being stored and the incoming one count for their
    // group. Where the largest group has only reports being stored, they
    // must be stored before it can shrink: commitFirst.
    struct Choice {
        std::optional<std::string> group;
        bool commitFirst = false;
    };
    Choice groupToShrink(std::span<const GroupLoad> candidates, const std::string& incomingGroup,
                         std::uint64_t incomingSize) const;
    // A stored report of `disk` bytes on disk was removed.
    void removed(std::uint64_t disk);

    // A report of `group` is being stored, until it is settled (stored) or
    // released (not stored).
    void reserve(const std::string& group, std::uint64_t reportSize);
    void settle(const std::string& group, std::uint64_t reportSize);
    void release(const std::string& group, std::uint64_t reportSize);
    // The groups of the reports being stored.
    std::map<std::string, GroupLoad> pending() const { return pending_; }

    std::uint64_t onDisk(std::uint64_t reportSize) const;
    const BudgetLimits& limits() const { return limits_; }

private:
    void unreserve(const std::string& group, std::uint64_t reportSize);

    BudgetLimits limits_;
    std::uint64_t blockSize_;
    std::uint64_t stored_ = 0;    // bytes on disk of the stored reports
    std::uint64_t storedCount_ = 0;
    std::uint64_t reserved_ = 0;  // of the reports being stored
    std::uint64_t freeBytes_ = 0;
    std::uint64_t freeInodes_ = 0;
    std::map<std::string, GroupLoad> pending_;  // by group
};

}  // namespace store
