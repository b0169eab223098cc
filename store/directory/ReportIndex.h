#pragma once

// Private to store/directory/.

// The index of a directory store: one SQLite database beside the reports
// (".index.sqlite", WAL) that knows, for every stored report, when and from
// where it came, its size, its signature's group and what it says of itself;
// and for every group its count, bytes, hosts and times. It is derived data:
// the report files are the truth, and the index can be rebuilt from them.
// The store updates it once per committed group, in a transaction that it
// writes while the group is renamed and synced and commits once the reports
// are durable, before they are announced (see IndexWriter); the reader and
// the budget ask it.

#include "common/Endpoint.h"
#include "common/TimeText.h"
#include "signature/Signature.h"
#include "store/Catalog.h"
#include "store/ReportStore.h"
#include "store/directory/DiskBudget.h"
#include "store/directory/Sqlite.h"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace store {

inline constexpr const char* kIndexFileName = ".index.sqlite";
// Every file of the index: the database, its log and the log's shared index.
inline constexpr std::array<const char*, 3> kIndexFiles{".index.sqlite", ".index.sqlite-wal", ".index.sqlite-shm"};
// Removes the index's files from the directory `directoryFd`, as many as
// are there.
inline void removeIndexFiles(int directoryFd)
{
    for (const char* name : kIndexFiles) {
        ::unlinkat(directoryFd, name, 0);
    }
}

// A report as the index takes it.
struct IndexEntry {
    std::string id;
    TimePoint received;
    crashreports::Endpoint sender;
    std::uint64_t bytes = 0;  // the report's size
    std::uint64_t disk = 0;   // what its file takes on disk
    triage::Signature signature;
};

// A stored report, for the budget to remove.
struct StoredReport {
    std::string id;
    std::uint64_t disk = 0;
    std::string group;
    std::string address;  // its sender's
};

struct IndexTotals {
    std::uint64_t reports = 0;
    std::uint64_t disk = 0;
};

class ReportIndex {
public:
    // The version of its tables, which a collector brings an older index
    // up to by making it anew.
    static constexpr int kSchemaVersion = 6;
    // Opens the index of the directory `directory`, creating it or bringing
    // its schema up to date. Throws sqlite::Error.
    explicit ReportIndex(const std::filesystem::path& directory, bool readOnly = false);

    // Adds reports in one transaction, one event for each, in order; a
    // report already indexed changes nothing and gets GroupEvent::None. A
    // group that comes back after `quiet` with no report is Regressed.
    std::vector<GroupEvent> add(const std::vector<IndexEntry>& entries, std::chrono::seconds quiet);
    // Adds reports that come a few at a time, all in one transaction, as
    // add() adds them at once; rolled back unless committed. Throws
    // sqlite::Error.
    class Adding {
    public:
        Adding(ReportIndex& index, std::chrono::seconds quiet);
        std::vector<GroupEvent> add(std::span<const IndexEntry> entries) { return index_.addAll(entries, quiet_); }
        void commit();

    private:
        ReportIndex& index_;
        sqlite::Transaction transaction_;
        std::chrono::seconds quiet_;
    };
    // Forgets reports in one transaction; ids it does not hold are passed over.
    void forget(const std::vector<std::string>& ids);
    // Runs `work` in one transaction, committed if it returns: the budget
    // chooses and forgets many reports at once.
    template <typename Work>
    void inTransaction(Work&& work)
    {
        sqlite::Transaction transaction(database_);
        work();
        transaction.commit();
        written_ = true;
    }
    // Forgets one report, within inTransaction().
    void forgetOne(const std::string& id);
    // Gives the pages that forgotten reports freed back to the filesystem.
    void giveBackFreePages() { database_.execute("PRAGMA incremental_vacuum"); }
    // Both in one transaction, the forgetting first.
    std::vector<GroupEvent> update(const std::vector<std::string>& forgotten, const std::vector<IndexEntry>& added,
                                   std::chrono::seconds quiet);
    // Empties the index and adds every entry that `next` gives (it returns
    // false when there is none left), in one transaction: a reader sees the
    // old index or the new one.
    template <typename Next>
    void rebuild(Next&& next)
    {
        sqlite::Transaction transaction(database_);
        database_.execute("DELETE FROM reports; DELETE FROM groups; DELETE FROM group_senders; DELETE FROM senders;");
        std::vector<IndexEntry> entries;
        for (IndexEntry entry; next(entry);) {
            entries.push_back(std::move(entry));
            if (entries.size() == kRebuildBatch) {
                addAll(entries, std::chrono::seconds(0));
                entries.clear();
            }
        }
        addAll(entries, std::chrono::seconds(0));
        takeVersionsFromTimes();
        transaction.commit();
    }
    bool contains(const std::string& id);

    IndexTotals totals();
    std::uint64_t groupCount();
    // For the budget (IndexQueries.cpp): the groups with the most bytes,
    // those of more than one report first; the senders with the most bytes;
    // one group's or sender's load; the oldest report of a group from the
    // sender that sent it the most, and the oldest report of a sender.
    std::vector<Load> largestGroups(std::size_t count);
    std::vector<Load> largestSenders(std::size_t count);
    Load groupLoad(const std::string& group);
    Load senderLoad(const std::string& address);
    std::optional<StoredReport> oldestOfGroup(const std::string& group);
    std::optional<StoredReport> oldestOfSender(const std::string& address);
    // Up to `count` reports received before `before`, oldest first, but for
    // each group's newest.
    std::vector<StoredReport> receivedBefore(TimePoint before, std::size_t count);
    // The group of each of `ids` that it holds.
    std::map<std::string, std::string> groupsOf(std::span<const std::string> ids);
    // Up to `count` report ids after `after`, in order: for walking them all.
    std::vector<std::string> idsAfter(const std::string& after, std::size_t count);
    // Up to `count` reports whose signature is of an older version.
    std::vector<std::string> outdated(std::size_t count);
    // When the newest report it holds was received; nothing if it holds none.
    std::optional<TimePoint> newestReceived();

    // Moves what the log holds into the database file, as far as readers
    // let it, and cuts the log back; with `truncate`, empties the log if no
    // reader holds it: whether it did. Throws sqlite::Error.
    bool checkpoint(bool truncate = false);
    // Whether reports were added or forgotten since the last checkpoint().
    bool written() const { return written_; }
    // What the log takes on disk now.
    std::uint64_t logBytes() const;
    // The version of the tables it holds (0 for none).
    int schemaVersion();
    // Whether this connection may only read it (its files are another
    // user's, say).
    bool readOnly() const;
    // Whether the index's file is still the one opened (not removed or
    // replaced since).
    bool inPlace() const;

    // A value the store keeps with the index: the directory's state when it
    // was last known to match, the time of the last full walk.
    std::optional<std::string> meta(const std::string& key);
    void setMeta(const std::string& key, const std::string& value);

    sqlite::Database& database() { return database_; }

private:
    // Reports read at once while rebuilding.
    static constexpr std::size_t kRebuildBatch = 4096;

    void createSchema();
    std::vector<GroupEvent> addAll(std::span<const IndexEntry> entries, std::chrono::seconds quiet);
    // Whether the report was not there yet.
    bool insertReport(const IndexEntry& entry);
    // What the reports `members` of `entries`, all of one group and newly
    // added, add to it; their events go to `events`.
    void addToGroup(std::span<const IndexEntry> entries, std::span<const std::size_t> members,
                    std::chrono::seconds quiet, std::vector<GroupEvent>& events);
    void refreshGroupTimes(const std::string& group);
    // Every group's first and last versions from its reports' times, as a
    // rebuild adds them in the files' order.
    void takeVersionsFromTimes();
    // Reports and disk by sender address.
    using SenderLoads = std::map<std::uint32_t, std::pair<std::int64_t, std::uint64_t>>;
    struct GroupAddition;
    // Adds a group's new reports to its senders' and to the senders'
    // aggregates; how many senders are new to the group.
    std::int64_t addToSenders(const std::string& group, const SenderLoads& senders);

    std::filesystem::path path_;
    sqlite::Database database_;
    std::pair<dev_t, ino_t> identity_{};  // of the file when it was opened
    bool written_ = false;
};

using crashreports::fromMicroseconds;
using crashreports::toMicroseconds;

// Sizes and counts as SQLite keeps them, and back (never below 0).
inline std::int64_t toInteger(std::uint64_t value)
{
    return static_cast<std::int64_t>(value);
}
inline std::uint64_t toCount(std::int64_t value)
{
    return static_cast<std::uint64_t>(std::max<std::int64_t>(value, 0));
}

}  // namespace store
