#pragma once

// Private to store/directory/.

// Adds the reports of each commit of a directory store to its index, on a
// thread of its own, while storing goes on. The store hands each report over
// as soon as the report has its name, while the rest of its group is still
// being renamed and the directory synced; the thread adds it at once, in a
// transaction that it commits only when the store closes the group as
// durable, and rolls back otherwise. So the index is written while the
// directory is synced, and no reader sees a report before it is stored.
// Between groups, and only while idle(), the index's owner (DirectoryIndex)
// uses the index itself.

#include "common/Mutex.h"
#include "common/WorkerThread.h"
#include "store/directory/ReportIndex.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <optional>
#include <stop_token>
#include <vector>

namespace store {

class IndexWriter {
public:
    // A group the thread is done with: how many reports it held, and the
    // news of those that opened a group or brought one back; or what
    // failed, and then none of them is in the index.
    struct Written {
        std::size_t reports = 0;
        std::vector<GroupNews> news;
        std::optional<sqlite::Error> error;
        // The log had grown past its bound and a reader kept it from being
        // cut back: what it takes.
        std::optional<std::uint64_t> logHeld;
    };

    // Starts the thread; throws std::system_error if none can be had.
    // `index` must outlive the writer. Once a group is committed, a log of
    // more than `logBound` bytes is moved into the database and emptied.
    IndexWriter(ReportIndex& index, std::chrono::seconds quiet, std::uint64_t logBound);
    IndexWriter(const IndexWriter&) = delete;
    IndexWriter& operator=(const IndexWriter&) = delete;
    // Finishes the groups closed before; a group still open is dropped.
    ~IndexWriter();

    // How a group handed over ends: while it is being handed over, it is
    // open; then it is kept (durable), or dropped.
    enum class Ending { Open, Durable, Dropped };

    // A report of the group being handed over, which this opens if need be.
    void add(IndexEntry entry);
    // The group being handed over has all its reports: the thread writes
    // the last of them while the store syncs.
    void handedAll();
    // Ends the group being handed over, if there is one, as `ending` says
    // (Durable or Dropped).
    void close(Ending ending);
    // The reports of open groups and of groups closed as durable, until
    // take() returns them.
    std::size_t unrecorded() const;
    // The groups done since the last call, in the order they were closed.
    // Throws what stopped the thread, if something other than the index
    // failed there (std::bad_alloc).
    std::vector<Written> take();
    // Waits until every closed group is done. No group may be open. Throws
    // as take() does.
    void wait();
    // Whether the thread has nothing to do: then the index is the store's.
    bool idle() const;

private:
    // A group as handed over: the reports the thread has not taken yet, how
    // many there were in all, whether that is all of them, and how it ends.
    struct Handed {
        std::vector<IndexEntry> entries;
        std::size_t count = 0;
        bool all = false;
        Ending ending = Ending::Open;
    };
    // Reports the thread takes at once from an open group: enough that a
    // storm's few groups are written a few times a group, not once a report.
    static constexpr std::size_t kPart = 128;

    void run(const std::stop_token& stop);
    void writeGroups(const std::stop_token& stop);
    // After a group is done: a group that failed makes those closed behind
    // it fail at once.
    void failFast(Ending ending) REQUIRES(mutex_);
    // Whether the last group is still being handed over: open, and not all
    // of its reports in.
    bool handingOver() const REQUIRES(mutex_);
    // Whether the oldest group has a part ready for the thread.
    bool partReady() const REQUIRES(mutex_);
    // Adds `part` of the group being written, and empties it; ends the
    // group unless `ending` is Open.
    void write(std::vector<IndexEntry>& part, Ending ending);

    // After a commit: cuts the log back if it grew past its bound.
    void boundLog();

    ReportIndex& index_;
    const std::chrono::seconds quiet_;
    const std::uint64_t logBound_;

    mutable crashreports::Mutex mutex_;
    std::condition_variable_any wake_;  // for the thread: a part is ready, or stop
    std::condition_variable_any done_;  // for wait(): a group is done
    // Not yet done, oldest first; the last may be open.
    std::deque<Handed> handed_ GUARDED_BY(mutex_);
    std::vector<Written> written_ GUARDED_BY(mutex_);  // done, not yet taken
    std::size_t unrecorded_ GUARDED_BY(mutex_) = 0;
    std::exception_ptr failure_ GUARDED_BY(mutex_);  // what stopped the thread

    // The thread's own: the group it is writing, and the failure that the
    // next `failing_` groups share.
    Written writing_;
    std::optional<ReportIndex::Adding> adding_;
    std::optional<sqlite::Error> failed_;
    std::size_t failing_ = 0;

    crashreports::WorkerThread thread_;  // last: it starts once the rest is made
};

}  // namespace store
