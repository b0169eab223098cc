#pragma once

// Private to store/directory/.

// Adds the reports of each commit of a directory store to its index, on a
// thread of its own, while storing goes on. The store hands each report over
// as soon as the report has its name, while the rest of its group is still
// being renamed and the directory synced; the thread adds it at once, in a
// transaction that it commits only when the store closes the group as
// durable, and rolls back otherwise. So the index is written while the
// directory is synced, and no reader sees a report before it is stored.
// Between groups, and only while idle(), the store uses the index itself.

#include "store/directory/ReportIndex.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
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
    };

    // Starts the thread; throws std::system_error if none can be had.
    // `index` must outlive the writer.
    IndexWriter(ReportIndex& index, std::chrono::seconds quiet);
    IndexWriter(const IndexWriter&) = delete;
    IndexWriter& operator=(const IndexWriter&) = delete;
    // Finishes the groups closed before; a group still open is dropped.
    ~IndexWriter();

    // A report of the group being handed over, which this opens if need be.
    void add(IndexEntry entry);
    // The group being handed over has all its reports: the thread writes
    // the last of them while the store syncs.
    void handedAll();
    // Ends the group being handed over, if there is one: it is committed if
    // `durable`, and dropped otherwise.
    void close(bool durable);
    // The reports of open groups and of groups closed as durable, until
    // take() returns them.
    std::size_t recording() const;
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
    // many there were in all, whether that is all of them, and whether it is
    // closed, and how.
    struct Handed {
        std::vector<IndexEntry> entries;
        std::size_t count = 0;
        bool all = false;
        std::optional<bool> durable;
    };
    // Reports the thread takes at once from an open group: enough that a
    // storm's few groups are written a few times a group, not once a report.
    static constexpr std::size_t kPart = 128;

    void run();
    void writeGroups();
    // After a group is done: a group that failed makes those closed behind
    // it fail at once.
    void failFast(bool durable);
    // Whether the last group is still being handed over: open, and not all
    // of its reports in.
    bool handingOver() const;
    // Whether the oldest group has a part ready for the thread.
    bool partReady() const;
    // Adds `part` of the group being written, and empties it; ends the
    // group if `closed`.
    void write(std::vector<IndexEntry>& part, std::optional<bool> closed);

    ReportIndex& index_;
    const std::chrono::seconds quiet_;

    mutable std::mutex mutex_;
    std::condition_variable wake_;  // for the thread: a part is ready, or stop
    std::condition_variable done_;  // for wait(): a group is done
    std::deque<Handed> handed_;     // not yet done, oldest first; the last may be open
    std::vector<Written> written_;  // done, not yet taken
    std::size_t recording_ = 0;
    bool stopping_ = false;
    std::exception_ptr failure_;  // what stopped the thread

    // The thread's own: the group it is writing, and the failure that the
    // next `failing_` groups share.
    Written writing_;
    std::optional<ReportIndex::Adding> adding_;
    std::optional<sqlite::Error> failed_;
    std::size_t failing_ = 0;

    std::thread thread_;  // last: it starts once the rest is made
};

}  // namespace store
