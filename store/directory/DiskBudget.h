#pragma once

// Private to store/directory/.

// What the reports may take of their filesystem: at most `maxUse` bytes in
// all (the index counted with them), never less than `keepFree` bytes and
// `keepFreeInodes` inodes left free. When a report does not fit, old
// reports go until the store is a little below its limits (the slack), so
// that room is made now and then, many reports at a time, rather than for
// each report.
//
// Which report goes: while some group (of one crash signature) holds more
// than one report, the oldest report of the group that holds the most
// bytes, from the sender that sent it the most: a storm of one crash evicts
// its own reports. Once every group holds one report, the oldest report of
// the sender that holds the most reports (between equals, the incoming
// report's sender, then the one with the most bytes): a sender that floods
// the store with crashes of their own pays for them, and another host's
// only report of a crash is the last thing removed. Reports being stored, and the incoming
// one, count for their group and their sender.
//
// Pure decisions: the store tells the budget what is stored and what is
// free, and asks it whether a report fits and what goes.

#include "store/StoreOptions.h"

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace store {

// The stored reports of a group, or of a sender (its address), as the
// store knows them.
struct Load {
    std::string key;
    std::uint64_t count = 0;
    std::uint64_t disk = 0;
    friend bool operator==(const Load&, const Load&) = default;
};

// The groups and senders among which the budget chooses, kept up to date
// as reports go.
struct Candidates {
    std::vector<Load> groups;
    std::vector<Load> senders;

    // A report of `group` from `sender` taking `disk` bytes went.
    void removed(const std::string& group, const std::string& sender, std::uint64_t disk);
};

// The loads of `groups` with each group that `targets` names (merged into
// another) counted in its target's, under the target's key, and gone from
// the list itself. Each such group and its target must be in the list.
void weighInTargets(std::vector<Load>& groups, const std::map<std::string, std::string>& targets);

// A report coming in, as the budget weighs it.
struct Incoming {
    std::string group;
    std::string sender;  // its address
    std::uint64_t size = 0;
};

// What goes next to make room.
struct Victim {
    enum class Kind {
        None,            // nothing stored that may go
        CommitFirst,     // what must shrink holds only reports being stored: store them first
        OldestOfGroup,   // the oldest report of group `key` from its heaviest sender
        OldestOfSender,  // the oldest report of sender `key`
    };
    Kind kind = Kind::None;
    std::string key;
    friend bool operator==(const Victim&, const Victim&) = default;
};

class DiskBudget {
public:
    // `blockSize`: what a report takes on disk is its size rounded up to it.
    DiskBudget(BudgetLimits limits, std::uint64_t blockSize);

    // What is stored (the reports' bytes on disk and their count, and what
    // the index takes), and what the filesystem has free, measured now.
    void measure(std::uint64_t storedDisk, std::uint64_t storedCount, std::uint64_t freeBytes,
                 std::uint64_t freeInodes, std::uint64_t indexDisk = 0);

    // Whether a report of `reportSize` bytes could fit if every stored
    // report were removed.
    bool couldFit(std::uint64_t reportSize) const;
    // Whether a report of `reportSize` bytes is over a limit with what is
    // stored and being stored now.
    bool overBudget(std::uint64_t reportSize) const;
    // Whether what is stored and being stored is within twice the slack of
    // --max-use.
    bool nearMaxUse() const;
    // Whether, making room for a report of `reportSize`, reports still go:
    // until the store is below its limits by the slack.
    bool aboveTarget(std::uint64_t reportSize) const;
    // What goes next to make room for `incoming`, among `groups` (the
    // stored groups that may be largest, with those being stored) and
    // `senders` (the same of senders).
    Victim chooseVictim(std::span<const Load> groups, std::span<const Load> senders, const Incoming& incoming) const;
    // A stored report of `disk` bytes on disk was removed.
    void removed(std::uint64_t disk);

    // A report of `group` from `sender` is being stored, until it is
    // settled (stored) or released (not stored).
    void reserve(const std::string& group, const std::string& sender, std::uint64_t reportSize);
    void settle(const std::string& group, const std::string& sender, std::uint64_t reportSize);
    void release(const std::string& group, const std::string& sender, std::uint64_t reportSize);
    // The groups and the senders of the reports being stored.
    const std::map<std::string, Load>& pendingGroups() const { return pendingGroups_; }
    const std::map<std::string, Load>& pendingSenders() const { return pendingSenders_; }

    std::uint64_t onDisk(std::uint64_t reportSize) const;
    const BudgetLimits& limits() const { return limits_; }
    // How far below a limit room is made: 1/16 of it, from one block to
    // 64 MiB (of inodes, 1/16 of the inodes to keep free).
    std::uint64_t slackOf(std::uint64_t limit) const;
    // How many removed reports' files, and how many bytes of them, may wait
    // to be written over (see ReportFiles) within the slack of each limit.
    std::pair<std::size_t, std::uint64_t> recyclingLimits() const;
    // How large the index's log may grow before it is moved into the index:
    // 1/16 of --max-use, from 64 KiB to 64 MiB; 64 MiB without it.
    std::uint64_t logBound() const;

private:
    void unreserve(const std::string& group, const std::string& sender, std::uint64_t reportSize);
    // With `slack`, each limit is lowered by its slack.
    bool over(std::uint64_t reportSize, bool slack) const;

    BudgetLimits limits_;
    std::uint64_t blockSize_;
    std::uint64_t stored_ = 0;  // bytes on disk of the stored reports and the index
    std::uint64_t storedCount_ = 0;
    std::uint64_t reserved_ = 0;  // of the reports being stored
    std::uint64_t freeBytes_ = 0;
    std::uint64_t freeInodes_ = 0;
    std::map<std::string, Load> pendingGroups_;
    std::map<std::string, Load> pendingSenders_;
};

}  // namespace store
