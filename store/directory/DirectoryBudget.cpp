// The directory store's side of the disk budget: what is stored and free,
// and which reports go to make room. See DirectoryStore.h.

#include "common/Plural.h"
#include "store/directory/DirectoryStore.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <limits>

namespace store {

namespace {

constexpr std::uint64_t kUnmeasured = std::numeric_limits<std::uint64_t>::max() / 2;
// Groups asked for as candidates to shrink, besides those being stored.
constexpr std::size_t kCandidates = 4;

}  // namespace

void DirectoryStore::measure()
{
    struct statvfs filesystem {};
    std::uint64_t freeBytes = kUnmeasured;
    std::uint64_t freeInodes = kUnmeasured;
    if (::fstatvfs(files_.fd(), &filesystem) == 0) {
        freeBytes = std::uint64_t{filesystem.f_bavail} * filesystem.f_frsize;
        // A filesystem that makes inodes as it needs them has no count.
        freeInodes = filesystem.f_files == 0 ? kUnmeasured : std::uint64_t{filesystem.f_favail};
    }
    refreshTotals();
    budget_.measure(totals_.disk, totals_.reports, freeBytes, freeInodes);
}

Room DirectoryStore::makeRoom(std::uint64_t size, const ReportInfo& info)
{
    Room room{true, {}, 0, 0, {}};
    if (budget_.couldFit(size)) {
        while (budget_.overBudget(size)
               && (index_.available() ? removeFromLargestGroup(info.signature.id, size, room) : removeOldestFile(room))) {
        }
    }
    room.fits = budget_.couldFit(size) && !budget_.overBudget(size);
    if (!room.fits) {
        const BudgetLimits& limits = budget_.limits();
        room.refusal = crashreports::plural(size, "byte") + " can't fit the disk budget (max use "
            + std::to_string(limits.maxUse) + ", keep free " + std::to_string(limits.keepFree) + ", keep free inodes "
            + std::to_string(limits.keepFreeInodes) + ")";
    }
    return room;
}

// Removes the oldest report of the group that the budget picks among the
// largest, those being stored and the incoming report's; whether one was
// removed.
bool DirectoryStore::removeFromLargestGroup(const std::string& incomingGroup, std::uint64_t incomingSize, Room& room)
{
    std::optional<StoredReport> victim;
    const bool chosen = index_.withIndex("can't choose a report to remove", [&](ReportIndex& index) {
        std::vector<GroupLoad> candidates;
        for (const auto& share : index.largestGroups(kCandidates)) {
            candidates.push_back({share.group, share.count, share.disk});
        }
        auto others = budget_.pending();
        others.try_emplace(incomingGroup);
        for (const auto& [group, load] : others) {
            const GroupShare share = index.share(group);
            candidates.push_back({group, share.count, share.disk});
        }
        const auto choice = budget_.groupToShrink(candidates, incomingGroup, incomingSize);
        victim = choice.group ? index.oldestOf(*choice.group) : std::nullopt;
    });
    if (!chosen) {
        return removeOldestFile(room);
    }
    if (!victim) {
        return false;
    }
    if (std::string error = remove(victim->id); !error.empty()) {
        room.errors.push_back(std::move(error));
        return false;
    }
    countRemoved(victim->disk, room);
    return true;
}

// Without an index: the oldest report file of all goes, as its name says.
bool DirectoryStore::removeOldestFile(Room& room)
{
    const auto oldest = files_.oldestReport();
    if (!oldest) {
        return false;
    }
    if (std::string error = remove(oldest->first); !error.empty()) {
        room.errors.push_back(std::move(error));
        return false;
    }
    countRemoved(oldest->second, room);
    return true;
}

void DirectoryStore::countRemoved(std::uint64_t disk, Room& room)
{
    budget_.removed(disk);
    totals_.disk -= std::min(totals_.disk, disk);
    ++room.removedReports;
    room.removedBytes += disk;
}

}  // namespace store
