#include "store/directory/DiskBudget.h"

#include <algorithm>
#include <set>
#include <tuple>
#include <vector>

namespace store {

namespace {

constexpr std::uint64_t kMostSlack = 64 << 20;

// A load with what is being stored and the incoming report added, if they
// are of it.
Load counted(const Load& load, const std::map<std::string, Load>& pending, bool incoming, std::uint64_t incomingDisk)
{
    Load total = load;
    if (const auto found = pending.find(load.key); found != pending.end()) {
        total.count += found->second.count;
        total.disk += found->second.disk;
    }
    if (incoming) {
        ++total.count;
        total.disk += incomingDisk;
    }
    return total;
}

using Total = std::pair<Load, std::uint64_t>;  // with what is being stored and coming; how many are stored

// The candidates as their totals: those of `stored`, and those only being
// stored (at least `fewestPending` reports of one) or coming in, each once.
std::vector<Total> totalsOf(std::span<const Load> stored, const std::map<std::string, Load>& pending,
                            std::uint64_t fewestPending, const std::string& incoming, std::uint64_t incomingDisk)
{
    std::vector<Total> totals;
    std::set<std::string> seen;
    const auto add = [&](const Load& load) {
        if (seen.insert(load.key).second) {
            totals.emplace_back(counted(load, pending, load.key == incoming, incomingDisk), load.count);
        }
    };
    for (const Load& load : stored) {
        add(load);
    }
    for (const auto& [key, load] : pending) {
        if (load.count >= fewestPending) {
            add({key, 0, 0});
        }
    }
    add({incoming, 0, 0});
    return totals;
}

// The heaviest of `totals` that `eligible` lets in, by `weight`; ties go
// to the smaller key.
template <typename Weight>
const Total* heaviest(const std::vector<Total>& totals, bool (*eligible)(const Total&), Weight weight)
{
    const Total* best = nullptr;
    for (const auto& entry : totals) {
        if (!eligible(entry)) {
            continue;
        }
        if (best == nullptr || std::pair(weight(entry.first), best->first.key)
                > std::pair(weight(best->first), entry.first.key)) {
            best = &entry;
        }
    }
    return best;
}

std::uint64_t bytes(const Load& load)
{
    return load.disk;
}

}  // namespace

void Candidates::removed(const std::string& group, const std::string& sender, std::uint64_t disk)
{
    for (auto [loads, key] : {std::pair{&groups, &group}, std::pair{&senders, &sender}}) {
        for (Load& load : *loads) {
            if (load.key == *key) {
                load.count -= std::min<std::uint64_t>(load.count, 1);
                load.disk -= std::min(load.disk, disk);
            }
        }
    }
}

void weighInTargets(std::vector<Load>& groups, const std::map<std::string, std::string>& targets)
{
    std::map<std::string, Load> weighed;
    for (Load& load : groups) {
        weighed.emplace(load.key, std::move(load));
    }
    groups.clear();
    for (const auto& [key, load] : weighed) {
        if (const auto target = targets.find(key); target != targets.end()) {
            if (const auto into = weighed.find(target->second); into != weighed.end()) {
                into->second.count += load.count;
                into->second.disk += load.disk;
            }
        }
    }
    for (auto& [key, load] : weighed) {
        if (!targets.contains(key)) {
            groups.push_back(std::move(load));
        }
    }
}

DiskBudget::DiskBudget(BudgetLimits limits, std::uint64_t blockSize)
    : limits_(limits), blockSize_(std::max<std::uint64_t>(blockSize, 1))
{
}

std::uint64_t DiskBudget::onDisk(std::uint64_t reportSize) const
{
    return (reportSize + blockSize_ - 1) / blockSize_ * blockSize_;
}

std::uint64_t DiskBudget::slackOf(std::uint64_t limit) const
{
    return std::clamp<std::uint64_t>(limit / 16, blockSize_, kMostSlack);
}

std::pair<std::size_t, std::uint64_t> DiskBudget::recyclingLimits() const
{
    constexpr std::size_t kMostFiles = 4096;
    std::uint64_t bytes = kMostSlack;
    for (const std::uint64_t limit : {limits_.maxUse, limits_.keepFree}) {
        if (limit != 0) {
            bytes = std::min(bytes, slackOf(limit));
        }
    }
    const std::size_t files = limits_.keepFreeInodes == 0
        ? kMostFiles
        : static_cast<std::size_t>(std::min<std::uint64_t>(limits_.keepFreeInodes / 16, kMostFiles));
    return {files, bytes};
}

std::uint64_t DiskBudget::logBound() const
{
    return limits_.maxUse == 0 ? kMostSlack : std::clamp<std::uint64_t>(limits_.maxUse / 16, 64 << 10, kMostSlack);
}

void DiskBudget::measure(std::uint64_t storedDisk, std::uint64_t storedCount, std::uint64_t freeBytes,
                         std::uint64_t freeInodes, std::uint64_t indexDisk)
{
    stored_ = storedDisk + indexDisk;
    storedCount_ = storedCount;
    freeBytes_ = freeBytes;
    freeInodes_ = freeInodes;
}

bool DiskBudget::couldFit(std::uint64_t reportSize) const
{
    const std::uint64_t incoming = onDisk(reportSize);
    return (limits_.maxUse == 0 || reserved_ + incoming <= limits_.maxUse)
        && (limits_.keepFree == 0 || freeBytes_ + stored_ >= limits_.keepFree + incoming)
        && (limits_.keepFreeInodes == 0 || freeInodes_ + storedCount_ >= limits_.keepFreeInodes + 1);
}

bool DiskBudget::over(std::uint64_t reportSize, bool slack) const
{
    const std::uint64_t incoming = onDisk(reportSize);
    const auto margin = [&](std::uint64_t limit) { return slack ? slackOf(limit) : 0; };
    const std::uint64_t inodeMargin = slack ? limits_.keepFreeInodes / 16 : 0;
    return (limits_.maxUse != 0 && stored_ + reserved_ + incoming + margin(limits_.maxUse) > limits_.maxUse)
        || (limits_.keepFree != 0 && freeBytes_ < limits_.keepFree + incoming + margin(limits_.keepFree))
        || (limits_.keepFreeInodes != 0 && freeInodes_ < limits_.keepFreeInodes + 1 + inodeMargin);
}

bool DiskBudget::nearMaxUse() const
{
    return limits_.maxUse != 0 && stored_ + reserved_ + 2 * slackOf(limits_.maxUse) > limits_.maxUse;
}

bool DiskBudget::overBudget(std::uint64_t reportSize) const
{
    return over(reportSize, false);
}

bool DiskBudget::aboveTarget(std::uint64_t reportSize) const
{
    return over(reportSize, true);
}

Victim DiskBudget::chooseVictim(std::span<const Load> groups, std::span<const Load> senders,
                                const Incoming& incoming) const
{
    const std::uint64_t incomingDisk = onDisk(incoming.size);
    // A group only being stored matters with more than one report: the
    // many new crashes of a burst are passed over.
    const auto groupTotals = totalsOf(groups, pendingGroups_, 2, incoming.group, incomingDisk);
    if (const Total* group = heaviest(groupTotals, [](const Total& total) { return total.first.count > 1; }, bytes)) {
        if (group->second == 0) {
            return {Victim::Kind::CommitFirst, {}};
        }
        return {Victim::Kind::OldestOfGroup, group->first.key};
    }
    // Reports, then the incoming report's sender (the one pressing now),
    // then bytes.
    const auto reportsThenBytes = [&](const Load& load) {
        return std::tuple(load.count, load.key == incoming.sender, load.disk);
    };
    const auto senderTotals = totalsOf(senders, pendingSenders_, 1, incoming.sender, incomingDisk);
    const Total* sender
        = heaviest(senderTotals, [](const Total& total) { return total.first.count > 0; }, reportsThenBytes);
    if (sender == nullptr) {
        return {};
    }
    if (sender->second == 0 && pendingSenders_.contains(sender->first.key)) {
        return {Victim::Kind::CommitFirst, {}};
    }
    if (sender->second == 0) {
        // The heaviest is the incoming report alone: the heaviest of those
        // with reports stored gives way to it.
        sender = heaviest(senderTotals, [](const Total& total) { return total.second > 0; }, reportsThenBytes);
    }
    return sender == nullptr ? Victim{} : Victim{Victim::Kind::OldestOfSender, sender->first.key};
}

void DiskBudget::removed(std::uint64_t disk)
{
    stored_ -= std::min(stored_, disk);
    storedCount_ -= std::min<std::uint64_t>(storedCount_, 1);
    freeBytes_ += disk;
    ++freeInodes_;
}

void DiskBudget::reserve(const std::string& group, const std::string& sender, std::uint64_t reportSize)
{
    const std::uint64_t incoming = onDisk(reportSize);
    reserved_ += incoming;
    freeBytes_ -= std::min(freeBytes_, incoming);
    freeInodes_ -= std::min<std::uint64_t>(freeInodes_, 1);
    for (auto [pending, key] : {std::pair{&pendingGroups_, &group}, std::pair{&pendingSenders_, &sender}}) {
        Load& load = (*pending)[*key];
        load.key = *key;
        ++load.count;
        load.disk += incoming;
    }
}

void DiskBudget::unreserve(const std::string& group, const std::string& sender, std::uint64_t reportSize)
{
    const std::uint64_t incoming = onDisk(reportSize);
    reserved_ -= std::min(reserved_, incoming);
    for (auto [pending, key] : {std::pair{&pendingGroups_, &group}, std::pair{&pendingSenders_, &sender}}) {
        if (const auto load = pending->find(*key); load != pending->end()) {
            load->second.disk -= std::min(load->second.disk, incoming);
            if (--load->second.count == 0) {
                pending->erase(load);
            }
        }
    }
}

void DiskBudget::settle(const std::string& group, const std::string& sender, std::uint64_t reportSize)
{
    unreserve(group, sender, reportSize);
    stored_ += onDisk(reportSize);
    ++storedCount_;
}

void DiskBudget::release(const std::string& group, const std::string& sender, std::uint64_t reportSize)
{
    unreserve(group, sender, reportSize);
    freeBytes_ += onDisk(reportSize);
    ++freeInodes_;
}

}  // namespace store
