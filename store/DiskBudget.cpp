#include "DiskBudget.h"

#include "ReportNames.h"

#include <algorithm>

namespace store {

BudgetLimits budgetLimits(std::optional<std::uint64_t> maxUse, std::optional<std::uint64_t> keepFree,
                          std::uint64_t filesystemBytes)
{
    return {maxUse.value_or(std::min(filesystemBytes / 100 * kDefaultMaxUsePercent, kDefaultCap)),
            keepFree.value_or(std::min(filesystemBytes / 100 * kDefaultKeepFreePercent, kDefaultCap))};
}

bool DiskBudget::ByMostThenOldest::operator()(const Rank& left, const Rank& right) const
{
    if (std::get<0>(left) != std::get<0>(right)) {
        return std::get<0>(left) > std::get<0>(right);
    }
    return std::tie(std::get<1>(left), std::get<2>(left)) < std::tie(std::get<1>(right), std::get<2>(right));
}

DiskBudget::DiskBudget(BudgetLimits limits, std::uint64_t blockSize)
    : limits_(limits), blockSize_(std::max<std::uint64_t>(blockSize, 1))
{
}

std::uint64_t DiskBudget::onDisk(std::uint64_t reportSize) const
{
    return (reportSize + blockSize_ - 1) / blockSize_ * blockSize_;
}

void DiskBudget::rank(const std::string& sender, bool in)
{
    const auto& names = bySender_[sender];
    if (names.empty()) {
        return;
    }
    const Rank entry{names.size(), *names.begin(), sender};
    if (in) {
        ranks_.insert(entry);
    } else {
        ranks_.erase(entry);
    }
}

void DiskBudget::add(const std::string& name, const std::string& sender, std::uint64_t bytes)
{
    if (!names_.emplace(name, std::pair{sender, bytes}).second) {
        return;
    }
    rank(sender, false);
    bySender_[sender].insert(name);
    rank(sender, true);
    total_ += bytes;
}

void DiskBudget::remove(const std::string& sender, const std::string& name)
{
    rank(sender, false);
    auto& names = bySender_[sender];
    names.erase(name);
    if (names.empty()) {
        bySender_.erase(sender);
    } else {
        rank(sender, true);
    }
    total_ -= names_.at(name).second;
    names_.erase(name);
}

void DiskBudget::recount(const std::vector<StoredFile>& files)
{
    clear();
    for (const auto& file : files) {
        add(file.name, reportSenderAddress(file.name).value_or(""), file.bytes);
    }
}

void DiskBudget::clear()
{
    bySender_.clear();
    names_.clear();
    ranks_.clear();
    total_ = reserved_;
}

bool DiskBudget::overBudget(std::uint64_t incoming) const
{
    return (limits_.maxUse != 0 && total_ + incoming > limits_.maxUse)
        || (limits_.keepFree != 0 && free_ < limits_.keepFree + incoming);
}

DiskBudget::Room DiskBudget::makeRoom(std::uint64_t reportSize)
{
    const std::uint64_t incoming = onDisk(reportSize);
    // With every stored report gone, only the reserved ones would be left.
    const std::uint64_t removable = total_ - reserved_;
    if ((limits_.maxUse != 0 && reserved_ + incoming > limits_.maxUse)
        || (limits_.keepFree != 0 && free_ + removable < limits_.keepFree + incoming)) {
        return {};
    }
    Room room{true, {}};
    while (overBudget(incoming) && !ranks_.empty()) {
        const auto [count, oldest, sender] = *ranks_.begin();
        const std::uint64_t bytes = names_.at(oldest).second;
        remove(sender, oldest);
        free_ += bytes;
        room.removals.push_back({oldest, bytes});
    }
    return room;
}

void DiskBudget::reserve(std::uint64_t reportSize)
{
    const std::uint64_t incoming = onDisk(reportSize);
    total_ += incoming;
    reserved_ += incoming;
    free_ -= std::min(free_, incoming);
}

void DiskBudget::settle(const std::string& name, const std::string& sender, std::uint64_t reportSize)
{
    const std::uint64_t bytes = onDisk(reportSize);
    reserved_ -= bytes;
    total_ -= bytes;
    add(name, sender, bytes);
}

void DiskBudget::release(std::uint64_t reportSize)
{
    const std::uint64_t bytes = onDisk(reportSize);
    reserved_ -= bytes;
    total_ -= bytes;
}

}  // namespace store
