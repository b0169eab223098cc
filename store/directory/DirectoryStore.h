#pragma once

// A report store that keeps each report as a file in one directory, whole or
// not at all. A report's bytes go to a temporary file of this collector's
// own; commit() makes a whole group durable together (SyncChooser picks
// how), renames each temporary to its final name without replacing anything,
// and syncs the directory once: then they are stored. The index (see
// ReportIndex), derived from the files, takes each report as it is renamed,
// on a thread of its own (see IndexWriter), and keeps the group once the
// directory is synced; recording() tells which are not in it yet. Several
// collectors may share the directory (see DirectoryLock) and its index. The
// reports keep within a DiskBudget that ranks them by group.

#include "common/UniqueFd.h"
#include "signature/SkipRules.h"
#include "store/ReportStore.h"
#include "store/StoreOptions.h"
#include "store/directory/DirectoryLock.h"
#include "store/directory/DiskBudget.h"
#include "store/directory/IndexCatchUp.h"
#include "store/directory/IndexWriter.h"
#include "store/directory/ReportIndex.h"
#include "store/directory/SyncChooser.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <utility>

namespace store {

// The state of an open directory, which changes whenever an entry comes or
// goes: "device:inode:modification time".
std::string stampOf(int directoryFd);

class DirectoryStore final : public ReportStore {
public:
    // Creates the directory if it is missing, takes this collector's lock
    // file in it, removes the temporaries of collectors that are gone and
    // opens the index, which is caught up with the files later, in slices,
    // unless it is known to be current. `rules` skip frames in signatures of
    // reports the index lacks, and must outlive the store. Throws
    // StartupError naming the directory if it can't be had; an index that
    // can't be had is a notice, not a failure.
    DirectoryStore(std::filesystem::path directory, const StoreOptions& options, const triage::SkipRules& rules);
    DirectoryStore(const DirectoryStore&) = delete;
    DirectoryStore& operator=(const DirectoryStore&) = delete;
    // Leaves a mark in the index that it matches the directory, when it does.
    ~DirectoryStore() override;

    std::string location() const override { return directory_.string(); }
    std::string locationOf(const std::string& name) const override { return (directory_ / name).string(); }
    std::uint64_t count() const override { return totals_.reports; }

    // Makes the directory again, or reopens it, if it was removed or
    // replaced since it was opened, and measures what is stored and free.
    std::vector<Notice> prepareBatch() override;
    Room makeRoom(std::uint64_t size, const ReportInfo& info) override;
    StageResult stage(std::span<const unsigned char> report, const ReportInfo& info) override;
    std::size_t mostStagedReports() const override { return mostStagedReports_; }
    std::uint64_t mostStagedBytes() const override;
    std::vector<CommitResult> commit(std::vector<PendingReport>& group) override;
    std::vector<Notice> takeNotices() override;
    std::vector<GroupNews> takeGroupNews() override { return std::exchange(news_, {}); }
    std::size_t recording() override;
    // Waits for the index's writer first, then catches up with the files,
    // then checkpoints the index.
    bool catchUp(std::chrono::milliseconds slice) override;
    void settle() override { awaitIndexing(); }

    // Removes a stored report and forgets it; an error text, or empty.
    std::string remove(const std::string& name);
    const std::filesystem::path& directory() const { return directory_; }
    const BudgetLimits& limits() const { return budget_.limits(); }

private:
    // The directory and this collector's lock in it, had together.
    struct Opened {
        crashreports::UniqueFd fd;
        std::optional<DirectoryLock> lock;  // in `fd`, so it goes first
        std::string stamp;                  // the directory's state before the lock was taken

        Opened(crashreports::UniqueFd directoryFd, std::optional<DirectoryLock> directoryLock, std::string state)
            : fd(std::move(directoryFd)), lock(std::move(directoryLock)), stamp(std::move(state))
        {
        }
        Opened(Opened&&) noexcept = default;
        Opened& operator=(Opened&& other) noexcept
        {
            lock.reset();
            fd = std::move(other.fd);
            lock = std::move(other.lock);
            stamp = std::move(other.stamp);
            return *this;
        }
    };
    // Opens the directory, making it if it is missing, and takes the lock;
    // `again` when it replaces one opened before.
    static Opened open(const std::filesystem::path& directory, bool again);
    std::optional<Notice> reopenIfReplaced();
    int fd() const { return opened_.fd.get(); }

    // The index (DirectoryIndexing.cpp).
    void openIndex();
    // Hands a report of the group being committed, just named, to the writer.
    void handToIndex(const PendingReport& report, const std::string& name);
    // Ends the group handed to the writer: kept if `durable`; otherwise
    // dropped, and its files are indexed by a walk later.
    void closeIndexGroup(bool durable);
    // Whether the writer is still at work: then nothing else touches the index.
    bool indexingBusy() const;
    // Waits for the writer to be done, and takes what it wrote.
    void awaitIndexing();
    // Takes the groups the writer is done with: their news, or a notice.
    void takeWritten();
    void forgetRemoved(const std::string& name);
    void indexFailed(const std::string& what, const std::exception& error);
    // The index may lack reports: a walk over the files adds them, later.
    void walkLater();
    void makeCatchUp();
    // A slice of the walk over the files, if one is due; whether there was.
    bool walkFiles(std::chrono::milliseconds slice);
    // Moves what the index wrote since into its database file, if it wrote.
    void checkpointIndex();
    void finishCatchUp();
    void refreshTotals();
    bool othersLeftTraces() const;

    // The budget (DirectoryBudget.cpp).
    void measure();
    bool removeFromLargestGroup(const std::string& incomingGroup, std::uint64_t incomingSize, Room& room);
    bool removeOldestFile(Room& room);

    // Syncs the bytes of the group's files; an error text for each, or empty.
    std::vector<std::string> makeDurable(const std::vector<PendingReport>& group);
    // Renames the group's reports whose bytes are safe (`errors` empty),
    // handing each to the index, and syncs the directory: whether the
    // names outlast a power loss.
    bool renameAndSync(std::vector<PendingReport>& group, const std::vector<std::string>& errors,
                       std::vector<CommitResult>& results);
    // Renames a staged report to a free name; the name, or an error text.
    CommitResult renameToFreeName(const PendingReport& report);
    bool renameNoReplace(const std::string& from, const std::string& to);

    std::filesystem::path directory_;
    StoreOptions options_;
    const triage::SkipRules& rules_;
    Opened opened_;
    std::unique_ptr<ReportIndex> index_;  // none while it can't be had
    std::unique_ptr<IndexWriter> writer_;  // with the index: gone before it
    std::unique_ptr<IndexCatchUp> catchUp_;
    bool indexCurrent_ = false;  // since it was caught up, and no update failed
    std::optional<std::chrono::steady_clock::time_point> walkAgainAt_;  // after a failure
    IndexTotals totals_;
    std::vector<GroupNews> news_;
    DiskBudget budget_;
    SyncChooser syncChooser_;
    std::vector<Notice> notices_;
    std::size_t mostStagedReports_ = 1;  // measured before each batch
    std::uint64_t sequence_ = 0;
    std::uint64_t temporaries_ = 0;
    bool noReplaceRename_ = true;  // off where the filesystem lacks it
};

}  // namespace store
