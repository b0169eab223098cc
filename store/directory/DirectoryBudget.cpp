// The directory store's side of the disk budget: what is stored and free
// (the index counted), and which reports go to make room, many at a time,
// in one transaction of the index. See DirectoryStore.h and DiskBudget.h.

#include "common/Plural.h"
#include "store/directory/DirectoryStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <limits>

namespace store {

namespace {

constexpr std::uint64_t kUnmeasured = std::numeric_limits<std::uint64_t>::max() / 2;
// Groups and senders asked for as candidates to shrink, besides those being
// stored and the incoming report's; asked for again after this many reports
// were removed, as others may have become the largest.
constexpr std::size_t kCandidates = 16;
constexpr std::size_t kAskAgainAfter = 64;

// `largest`, and the load of each of `more` that is not among them.
template <typename Find>
std::vector<Load> withLoadsOf(std::vector<Load> largest, const std::vector<std::string>& more, Find&& find)
{
    for (const std::string& key : more) {
        if (std::ranges::none_of(largest, [&](const Load& load) { return load.key == key; })) {
            largest.push_back(find(key));
        }
    }
    return largest;
}

}  // namespace

// What the index takes, its log counted at the most it may grow to before
// it is cut back (see IndexWriter): what the log takes for a moment past
// that, until the end of a commit, is not what makes reports go.
std::uint64_t DirectoryStore::indexDisk() const
{
    std::uint64_t disk = 0;
    for (const char* name : kIndexFiles) {
        struct stat status {};
        if (::fstatat(files_.fd(), name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
            const auto taken = static_cast<std::uint64_t>(status.st_blocks) * 512;
            disk += name == kIndexFiles[1] ? budget_.logBound() : taken;
        }
    }
    return disk;
}

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
    // Near --max-use, what other collectors stored in the directory counts
    // too: the index, once the writer is done, tells what all of them hold.
    if (budget_.nearMaxUse()) {
        index_.settle();
    }
    refreshTotals();
    const std::uint64_t alsoOnDisk = alsoOnDisk_ != nullptr ? alsoOnDisk_->load() : 0;
    budget_.measure(totals_.disk, totals_.reports, freeBytes, freeInodes, indexDisk() + alsoOnDisk);
}

void DirectoryStore::keepWithinBudget()
{
    measure();
    Room room{true, {}, 0, 0, {}};
    if (budget_.overBudget(0)) {
        const Incoming nothing{};
        if (!index_.available() || !removeChosen(nothing, room)) {
            removeOldestFiles(0, room);
        }
    }
    tellRemoved(room, "old report", "to keep within the disk budget");
}

void DirectoryStore::tellRemoved(Room& room, std::string_view noun, std::string_view why)
{
    for (std::string& error : room.errors) {
        outbox_.notices.push_back({Notice::Level::Error, std::move(error)});
    }
    outbox_.removedReports += room.removedReports;
    if (room.removedReports != 0) {
        outbox_.notices.push_back({Notice::Level::Info, "removed " + crashreports::plural(room.removedReports, noun)
                                                            + " (" + crashreports::plural(room.removedBytes, "byte")
                                                            + ") " + std::string(why)});
    }
}

Room DirectoryStore::makeRoom(std::uint64_t size, const ReportInfo& info)
{
    Room room{true, {}, 0, 0, {}};
    if (budget_.couldFit(size) && budget_.overBudget(size)) {
        const Incoming incoming{targetOf(info.signature.id), info.sender.addressText(), size};
        if (!index_.available() || !removeChosen(incoming, room)) {
            removeOldestFiles(size, room);
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

// Removes the reports that the budget chooses, one at a time, until the
// store is below its limits by the slack, forgetting them in one
// transaction of the index; whether the index could be asked.
bool DirectoryStore::removeChosen(const Incoming& incoming, Room& room)
{
    return index_.withIndex("can't choose reports to remove", [&](ReportIndex& index) {
        index.inTransaction([&] {
            Candidates candidates;
            for (std::size_t removed = 0; budget_.aboveTarget(incoming.size); ++removed) {
                if (removed % kAskAgainAfter == 0) {
                    candidates = candidatesFor(index, incoming);
                }
                const auto victim = chosenReport(index, candidates, incoming);
                if (!victim || !removeReport(victim->id, victim->disk, room)) {
                    break;
                }
                index.forgetOne(victim->id);
                candidates.removed(targetOf(victim->group), victim->address, victim->disk);
            }
            index.giveBackFreePages();
        });
    });
}

// The largest groups and senders, with those of the reports being stored
// that may count (a group with more than one of them) and the incoming
// report's; each group merged into another counts in its target.
Candidates DirectoryStore::candidatesFor(ReportIndex& index, const Incoming& incoming) const
{
    std::vector<std::string> groups{incoming.group};
    for (const auto& [group, load] : budget_.pendingGroups()) {
        if (load.count > 1) {
            groups.push_back(group);
        }
    }
    for (const auto& [member, target] : targets_) {
        groups.push_back(member);
        groups.push_back(target);
    }
    std::vector<std::string> senders{incoming.sender};
    for (const auto& [sender, load] : budget_.pendingSenders()) {
        senders.push_back(sender);
    }
    Candidates candidates{withLoadsOf(index.largestGroups(kCandidates), groups,
                                      [&](const std::string& group) { return index.groupLoad(group); }),
                          withLoadsOf(index.largestSenders(kCandidates), senders,
                                      [&](const std::string& sender) { return index.senderLoad(sender); })};
    if (!targets_.empty()) {
        weighInTargets(candidates.groups, targets_);
    }
    return candidates;
}

const std::string& DirectoryStore::targetOf(const std::string& group) const
{
    const auto found = targets_.find(group);
    return found == targets_.end() ? group : found->second;
}

// The oldest report of `target` and the groups merged into it, each from
// the sender that sent it the most.
std::optional<StoredReport> DirectoryStore::oldestOfMerged(ReportIndex& index, const std::string& target) const
{
    std::optional<StoredReport> oldest = index.oldestOfGroup(target);
    for (const auto& [member, into] : targets_) {
        if (into != target) {
            continue;
        }
        // Names begin with the time received: the smaller is the older.
        if (auto report = index.oldestOfGroup(member); report && (!oldest || report->id < oldest->id)) {
            oldest = std::move(report);
        }
    }
    return oldest;
}

std::optional<StoredReport> DirectoryStore::chosenReport(ReportIndex& index, const Candidates& candidates,
                                                         const Incoming& incoming) const
{
    const Victim victim = budget_.chooseVictim(candidates.groups, candidates.senders, incoming);
    switch (victim.kind) {
    case Victim::Kind::OldestOfGroup: return oldestOfMerged(index, victim.key);
    case Victim::Kind::OldestOfSender: return index.oldestOfSender(victim.key);
    case Victim::Kind::CommitFirst:
    case Victim::Kind::None: break;
    }
    return std::nullopt;
}

// Without an index: the oldest report files of all go, as their names say.
void DirectoryStore::removeOldestFiles(std::uint64_t size, Room& room)
{
    while (budget_.aboveTarget(size)) {
        const auto oldest = files_.oldestReport();
        if (!oldest || !removeReport(oldest->first, oldest->second, room)) {
            return;
        }
    }
}

// Removes a stored report's file; whether the budget may go on. A file
// already gone (another collector removed it) frees nothing.
bool DirectoryStore::removeReport(const std::string& name, std::uint64_t disk, Room& room)
{
    bool gone = false;
    if (std::string error = files_.remove(name, gone); !error.empty()) {
        room.errors.push_back(std::move(error));
        return false;
    }
    totals_.reports -= std::min<std::uint64_t>(totals_.reports, 1);
    if (!gone) {
        budget_.removed(disk);
        totals_.disk -= std::min(totals_.disk, disk);
        ++room.removedReports;
        room.removedBytes += disk;
    }
    return true;
}

}  // namespace store
