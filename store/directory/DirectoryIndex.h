#pragma once

// The index of a directory store, and its one owner. It opens the index
// (starting over if the file can't be had), hands each commit's reports to
// the IndexWriter as they are named, takes back what the writer recorded
// (the news of groups, or a notice where it failed), forgets removed
// reports, and, in idle times, catches the index up with the files (see
// IndexCatchUp) and checkpoints it. Whoever else asks the index something
// (the budget) does so through withIndex(), which hands the index out only
// once the writer is idle. A failure of the index never fails a report: it
// is a notice, and the index is caught up with the files later.

#include "signature/SkipRules.h"
#include "store/Catalog.h"
#include "store/ReportStore.h"
#include "store/directory/IndexCatchUp.h"
#include "store/directory/IndexWriter.h"
#include "store/directory/ReportFiles.h"
#include "store/directory/ReportIndex.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace store {

class DirectoryIndex {
public:
    // The index of the directory of `files`, which must outlive it, as
    // must `rules` (for reports signed in a catch-up) and `outbox`, where
    // notices and news go. Opens it as open() does.
    // The log is kept to `logBound` bytes (see IndexWriter); while a reader
    // keeps it from being cut back, indexing waits.
    DirectoryIndex(ReportFiles& files, const triage::SkipRules& rules, std::chrono::seconds quiet,
                   std::uint64_t logBound, Outbox& outbox);
    DirectoryIndex(const DirectoryIndex&) = delete;
    DirectoryIndex& operator=(const DirectoryIndex&) = delete;
    // Leaves a mark in the index that it matches the directory, when it
    // does: then the next start trusts it without a walk over the files.
    ~DirectoryIndex();

    // Opens the index of the directory as it is now (again, once the
    // directory was replaced); it is caught up with the files later, in
    // slices, unless it is known to be current. An index that can't be had
    // is a notice: storing goes on without it.
    void open();
    bool available() const { return index_ != nullptr; }
    // Before a batch: opens the index again where it was removed or
    // replaced, makes it anew where it was found damaged, and, without
    // one, tries again to open it once a minute.
    void check();

    // Hands the report of the group being committed, just named, to the
    // writer; `disk` is what its file takes.
    void hand(const PendingReport& report, const std::string& name, std::uint64_t disk);
    // Every report of the group is handed over.
    void handedAll();
    // Ends the group handed over: kept if `durable`; otherwise dropped, and
    // its files are indexed by a walk later.
    void closeGroup(bool durable);
    // Takes what the writer recorded since into the outbox; how many of
    // the reports handed over are still being recorded.
    std::size_t takeRecorded();
    // Waits until the writer is done, and takes what it recorded.
    void settle();

    // Runs `use(ReportIndex&)` once the writer is idle, waiting for it
    // first: the one way to the index. Whether it ran: not without an
    // index, nor when it threw sqlite::Error, which is a notice beginning
    // with `what` ("can't choose a report to remove"), and a walk later.
    template <typename Use>
    bool withIndex(const std::string& what, Use&& use)
    {
        settle();
        if (!index_) {
            return false;
        }
        try {
            use(*index_);
            return true;
        } catch (const sqlite::Error& error) {
            failed(what, error);
            return false;
        }
    }
    // The index's totals, if the writer is idle now: it is not waited for.
    std::optional<IndexTotals> totalsIfIdle();
    // The groups that hold reports, unless the writer is busy or the index
    // can't be read.
    std::optional<std::uint64_t> groupCountIfIdle();

    // A slice of the work left for idle times: waiting for the writer, the
    // walk over the files, then a checkpoint. What it did: Nothing once
    // there is no work left; WalkEnded when the walk ended in this slice.
    enum class Step { Nothing, More, WalkEnded };
    Step catchUp(std::chrono::milliseconds slice);

private:
    bool writerBusy() const;
    void makeCatchUp();
    void close();
    void removeFiles();
    // Goes on without the index, with a line that says so and what it costs.
    void doWithout(const std::string& why);
    void failed(const std::string& what, const std::exception& error);
    // The index may lack reports: a walk over the files adds them, later.
    void walkLater();
    Step walkFiles(std::chrono::milliseconds slice);
    void finishWalk();
    void checkpoint();
    void notice(Notice::Level level, std::string line);
    // A reader keeps the log from being cut back: indexing waits until it
    // lets go (tried again at most every second), and the reports stored
    // meanwhile are indexed by a walk then.
    void holdFor(std::uint64_t logBytes);
    bool releaseHeldLog();

    ReportFiles& files_;
    const triage::SkipRules& rules_;
    const std::chrono::seconds quiet_;
    const std::uint64_t logBound_;
    Outbox& outbox_;
    std::unique_ptr<ReportIndex> index_;  // none while it can't be had
    std::unique_ptr<IndexCatchUp> catchUp_;
    std::unique_ptr<IndexWriter> writer_;  // with the index: gone before it
    bool current_ = false;  // since it was caught up, and no update failed
    std::optional<std::chrono::steady_clock::time_point> walkAgainAt_;  // after a failure
    std::optional<std::chrono::steady_clock::time_point> logHeldSince_;  // indexing waits for a reader
    std::optional<std::chrono::steady_clock::time_point> openAgainAt_;   // without an index
    bool damaged_ = false;  // found damaged: made anew before the next batch
    std::chrono::steady_clock::time_point logTriedAt_{};
};

// Rebuilds the index of the report directory `directory` from its files,
// with their signatures computed under `rules`, in one transaction; what it
// holds afterwards. Throws crashreports::StartupError naming the directory
// and why.
Rebuilt rebuildIndex(const std::filesystem::path& directory, const triage::SkipRules& rules);

}  // namespace store
