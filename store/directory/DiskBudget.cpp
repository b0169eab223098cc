#include "store/directory/DiskBudget.h"

#include <algorithm>
#include <tuple>

namespace store {

DiskBudget::DiskBudget(BudgetLimits limits, std::uint64_t blockSize)
    : limits_(limits), blockSize_(std::max<std::uint64_t>(blockSize, 1))
{
}

std::uint64_t DiskBudget::onDisk(std::uint64_t reportSize) const
{
    return (reportSize + blockSize_ - 1) / blockSize_ * blockSize_;
}

void DiskBudget::measure(std::uint64_t storedDisk, std::uint64_t storedCount, std::uint64_t freeBytes,
                         std::uint64_t freeInodes)
{
    stored_ = storedDisk;
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

bool DiskBudget::overBudget(std::uint64_t reportSize) const
{
    const std::uint64_t incoming = onDisk(reportSize);
    return (limits_.maxUse != 0 && stored_ + reserved_ + incoming > limits_.maxUse)
        || (limits_.keepFree != 0 && freeBytes_ < limits_.keepFree + incoming)
        || (limits_.keepFreeInodes != 0 && freeInodes_ < limits_.keepFreeInodes + 1);
}

DiskBudget::Choice DiskBudget::groupToShrink(std::span<const GroupLoad> candidates, const std::string& incomingGroup,
                                             std::uint64_t incomingSize) const
{
    // Counted with its reports being stored and the incoming one: whether a
    // group holds more than one report, then its bytes; ties go to the
    // smaller id.
    const auto rank = [&](const GroupLoad& load) {
        const auto pending = pending_.find(load.group);
        const bool incoming = load.group == incomingGroup;
        const std::uint64_t count = load.count + (pending == pending_.end() ? 0 : pending->second.count) + incoming;
        const std::uint64_t disk = load.disk + (pending == pending_.end() ? 0 : pending->second.disk)
            + (incoming ? onDisk(incomingSize) : 0);
        return std::tuple(count > 1, disk);
    };
    const auto before = [&](const GroupLoad* one, const GroupLoad& other) {
        return one == nullptr || rank(other) > rank(*one) || (rank(other) == rank(*one) && other.group < one->group);
    };
    const GroupLoad* largest = nullptr;
    const GroupLoad* largestStored = nullptr;
    for (const auto& candidate : candidates) {
        if (before(largest, candidate)) {
            largest = &candidate;
        }
        if (candidate.count != 0 && before(largestStored, candidate)) {
            largestStored = &candidate;
        }
    }
    if (largest != nullptr && largest != largestStored && pending_.contains(largest->group)) {
        return {std::nullopt, true};
    }
    return {largestStored == nullptr ? std::nullopt : std::optional(largestStored->group), false};
}

void DiskBudget::removed(std::uint64_t disk)
{
    stored_ -= std::min(stored_, disk);
    storedCount_ -= std::min<std::uint64_t>(storedCount_, 1);
    freeBytes_ += disk;
    ++freeInodes_;
}

void DiskBudget::reserve(const std::string& group, std::uint64_t reportSize)
{
    const std::uint64_t incoming = onDisk(reportSize);
    reserved_ += incoming;
    freeBytes_ -= std::min(freeBytes_, incoming);
    freeInodes_ -= std::min<std::uint64_t>(freeInodes_, 1);
    GroupLoad& load = pending_[group];
    load.group = group;
    ++load.count;
    load.disk += incoming;
}

void DiskBudget::unreserve(const std::string& group, std::uint64_t reportSize)
{
    const std::uint64_t incoming = onDisk(reportSize);
    reserved_ -= std::min(reserved_, incoming);
    if (const auto load = pending_.find(group); load != pending_.end()) {
        load->second.disk -= std::min(load->second.disk, incoming);
        if (--load->second.count == 0) {
            pending_.erase(load);
        }
    }
}

void DiskBudget::settle(const std::string& group, std::uint64_t reportSize)
{
    unreserve(group, reportSize);
    stored_ += onDisk(reportSize);
    ++storedCount_;
}

void DiskBudget::release(const std::string& group, std::uint64_t reportSize)
{
    unreserve(group, reportSize);
    freeBytes_ += onDisk(reportSize);
    ++freeInodes_;
}

}  // namespace store
