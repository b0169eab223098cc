#pragma once

// A report store that keeps each report as a file in one directory, whole or
// not at all. A report's bytes go to a temporary file of this collector's
// own; commit() makes a whole group durable together, renames each temporary
// to its final name without replacing anything, and syncs the directory
// once: then they are stored (see ReportFiles). The index, derived from the
// files, takes each report as it is renamed, on a thread of its own, and
// keeps the group once the directory is synced (see DirectoryIndex); the
// outbox tells which stored reports are not in it yet. Several collectors
// may share the directory (see DirectoryLock) and its index. The reports
// keep within a DiskBudget that ranks them by group (DirectoryBudget.cpp).

#include "signature/SkipRules.h"
#include "store/ReportStore.h"
#include "store/directory/DecisionLog.h"
#include "store/StoreOptions.h"
#include "store/directory/DirectoryIndex.h"
#include "store/directory/DiskBudget.h"
#include "store/directory/ReportFiles.h"
#include "store/directory/ReportIndex.h"

#include <chrono>
#include <filesystem>
#include <utility>

namespace store {

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

    std::string location() const override { return files_.directory().string(); }
    std::string locationOf(const std::string& name) const override { return files_.pathOf(name); }
    std::uint64_t count() const override { return totals_.reports; }

    // Makes the directory again, or reopens it, if it was removed or
    // replaced since it was opened, and measures what is stored and free.
    void prepareBatch() override;
    Room makeRoom(std::uint64_t size, const ReportInfo& info) override;
    StageResult stage(std::span<const unsigned char> report, const ReportInfo& info) override;
    StagingLimits stagingLimits() const override;
    std::vector<CommitResult> commit(std::vector<PendingReport>& group) override;
    Outbox drainOutbox(Settle settle) override;
    // Waits for the index's writer first, then catches up with the files,
    // then checkpoints the index.
    bool catchUp(std::chrono::milliseconds slice) override;
    StoreFigures figures() override;
    // The decisions (DirectoryDecisions.cpp): its log file, made where it is
    // missing when the store is opened.
    std::optional<DecisionRecord> changedDecisions() override;
    void recordDecision(const Decision& decision) override;
    void weighMergedGroups(std::map<std::string, std::string> targets) override { targets_ = std::move(targets); }

    const std::filesystem::path& directory() const { return files_.directory(); }
    const BudgetLimits& limits() const { return budget_.limits(); }

private:
    // Names each report whose bytes are safe (`errors` empty), handing it
    // to the index, and syncs the directory: whether the names outlast a
    // power loss.
    bool nameAndSync(std::vector<PendingReport>& group, const std::vector<std::string>& errors,
                     std::vector<CommitResult>& results);
    // Settles the budget and the totals for each report of a commit, and
    // lets go of what each staged.
    void account(std::vector<PendingReport>& group, const std::vector<CommitResult>& results);
    void refreshTotals();
    // Opens the directory again if it was removed or replaced, else the
    // index if it was.
    void checkPlaces();

    // The budget (DirectoryBudget.cpp).
    void measure();
    // Once idle: removes what others' reports put over the budget.
    void keepWithinBudget();
    // Once idle: removes reports past the age, but each group's newest
    // (DirectoryRetention.cpp).
    void removeAged();
    // Tells what `room` removed while idle, `why`, and what it could not.
    void tellRemoved(Room& room, std::string_view noun, std::string_view why);
    std::uint64_t indexDisk() const;
    bool removeChosen(const Incoming& incoming, Room& room);
    Candidates candidatesFor(ReportIndex& index, const Incoming& incoming) const;
    // The group that `group`'s reports count in: the one it is merged into,
    // else itself.
    const std::string& targetOf(const std::string& group) const;
    std::optional<StoredReport> oldestOfMerged(ReportIndex& index, const std::string& target) const;
    std::optional<StoredReport> chosenReport(ReportIndex& index, const Candidates& candidates,
                                             const Incoming& incoming) const;
    void removeOldestFiles(std::uint64_t size, Room& room);
    bool removeReport(const std::string& name, std::uint64_t disk, Room& room);

    // Makes the decisions' file where it is missing; a notice if it can't.
    void makeDecisionLog();

    ReportFiles files_;
    DecisionLog decisionLog_;
    std::optional<std::optional<std::string>> decisionsStamp_;  // of the decisions last read
    DiskBudget budget_;
    Outbox outbox_;
    DirectoryIndex index_;  // after the files and the outbox, which it uses
    IndexTotals totals_;
    std::size_t mostStagedReports_ = 1;  // measured before each batch
    const std::atomic<std::uint64_t>* alsoOnDisk_;  // see StoreOptions
    std::map<std::string, std::string> targets_;    // of merged groups, see weighMergedGroups()
    std::optional<std::chrono::seconds> maxAge_;
    std::chrono::steady_clock::time_point nextAgeCheck_{};
};

}  // namespace store
