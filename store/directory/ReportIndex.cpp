#include "store/directory/ReportIndex.h"

#include <sys/stat.h>

#include <algorithm>
#include <limits>
#include <map>
#include <tuple>
#include <unordered_map>

namespace store {

namespace {

// Groups: the aggregate of their reports, kept up to date as reports come
// and go, so that listing the groups never reads every report. A group's
// title and signature are those of the reports it holds (which share them);
// its newest report is the latest received, ties going to the greater id,
// so that the order reports were added in does not matter. A group whose
// reports are all gone leaves, and so does a sender's row. Senders are
// aggregated too, for the budget. Reports are kept in the order they were
// added (rowid), which decides between reports received at the same moment
// which is the oldest. A group's first and last versions are those of the
// first and last reports that named one as they came (what the budget
// removes later leaves them), from the files' times on a rebuild.
constexpr const char* kSchema = R"(
CREATE TABLE IF NOT EXISTS reports (
    id TEXT PRIMARY KEY,
    received INTEGER NOT NULL,
    sender TEXT NOT NULL,
    address TEXT NOT NULL,
    bytes INTEGER NOT NULL,
    disk INTEGER NOT NULL,
    grp TEXT NOT NULL,
    version INTEGER NOT NULL,
    host TEXT NOT NULL,
    unit TEXT NOT NULL,
    executable TEXT NOT NULL,
    signal TEXT NOT NULL,
    app_version TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS reports_by_group ON reports (grp, received);
CREATE INDEX IF NOT EXISTS reports_by_time ON reports (received, id);
CREATE INDEX IF NOT EXISTS reports_by_sender ON reports (address, received);
CREATE TABLE IF NOT EXISTS groups (
    grp TEXT PRIMARY KEY,
    title TEXT NOT NULL,
    signature TEXT NOT NULL,
    count INTEGER NOT NULL,
    disk INTEGER NOT NULL,
    hosts INTEGER NOT NULL,
    first_seen INTEGER NOT NULL,
    last_seen INTEGER NOT NULL,
    newest TEXT NOT NULL,
    first_version TEXT NOT NULL,
    last_version TEXT NOT NULL
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS groups_by_activity ON groups (last_seen, grp);
CREATE INDEX IF NOT EXISTS groups_by_size ON groups (count > 1, disk) WHERE count > 0;
CREATE TABLE IF NOT EXISTS group_senders (
    grp TEXT NOT NULL,
    address TEXT NOT NULL,
    count INTEGER NOT NULL,
    PRIMARY KEY (grp, address)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS senders (
    address TEXT PRIMARY KEY,
    count INTEGER NOT NULL,
    disk INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS senders_by_size ON senders (disk);
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;
)";

}  // namespace

ReportIndex::ReportIndex(const std::filesystem::path& directory, bool readOnly)
    : path_(directory / kIndexFileName), database_(path_, readOnly)
{
    struct stat status {};
    if (::stat(path_.c_str(), &status) == 0) {
        identity_ = {status.st_dev, status.st_ino};
    }
    if (readOnly) {
        return;
    }
    // The WAL files stay when the last connection closes, so that readers
    // who may not write in the directory can open the index at any time.
    int persist = 1;
    sqlite3_file_control(database_.handle(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
    database_.execute("PRAGMA journal_mode = WAL");
    // Derived data: a power loss may cost the last transactions, which the
    // files still hold and the next start catches up with.
    database_.execute("PRAGMA synchronous = NORMAL");
    // The log is moved into the database when the collector is idle (see
    // checkpoint()): while storing, only a log grown past 64 MiB is, and
    // after that it is cut back to 4 MiB.
    database_.execute("PRAGMA wal_autocheckpoint = 16384");
    database_.execute("PRAGMA journal_size_limit = 4194304");
    database_.execute("PRAGMA cache_size = -8192");
    createSchema();
}

void ReportIndex::createSchema()
{
    auto& version = database_.cached("PRAGMA user_version");
    version.step();
    const std::int64_t found = version.integer(0);
    version.reset();
    if (found == kSchemaVersion) {
        return;
    }
    if (found != 0) {
        // Another schema: the index is derived data, so it starts over and
        // is caught up from the files.
        sqlite::Transaction dropping(database_);
        database_.execute("DROP TABLE IF EXISTS reports; DROP TABLE IF EXISTS groups;"
                          "DROP TABLE IF EXISTS group_senders; DROP TABLE IF EXISTS senders;"
                          "DROP TABLE IF EXISTS meta;");
        dropping.commit();
    }
    // Pages freed are given back to the filesystem when asked (see
    // giveBackFreePages()), so that what the index takes, which counts in
    // the budget, follows what it holds. Set before any table is made.
    database_.execute("PRAGMA auto_vacuum = INCREMENTAL");
    if (found != 0) {
        database_.execute("VACUUM");
    }
    sqlite::Transaction transaction(database_);
    database_.execute(kSchema);
    database_.execute("PRAGMA user_version = " + std::to_string(kSchemaVersion));
    transaction.commit();
}

std::vector<GroupEvent> ReportIndex::add(const std::vector<IndexEntry>& entries, std::chrono::seconds quiet)
{
    return update({}, entries, quiet);
}

void ReportIndex::forget(const std::vector<std::string>& ids)
{
    update(ids, {}, std::chrono::seconds(0));
}

std::vector<GroupEvent> ReportIndex::update(const std::vector<std::string>& forgotten,
                                            const std::vector<IndexEntry>& added, std::chrono::seconds quiet)
{
    if (forgotten.empty() && added.empty()) {
        return {};
    }
    sqlite::Transaction transaction(database_);
    for (const auto& id : forgotten) {
        forgetOne(id);
    }
    std::vector<GroupEvent> events = addAll(added, quiet);
    transaction.commit();
    written_ = true;
    return events;
}

ReportIndex::Adding::Adding(ReportIndex& index, std::chrono::seconds quiet)
    : index_(index), transaction_(index.database_), quiet_(quiet)
{
}

void ReportIndex::Adding::commit()
{
    transaction_.commit();
    index_.written_ = true;
}

std::vector<GroupEvent> ReportIndex::addAll(std::span<const IndexEntry> entries, std::chrono::seconds quiet)
{
    // Each report is a row of its own; what they add to their groups is
    // written once per group, as a burst is mostly a few crashes many times.
    std::vector<GroupEvent> events(entries.size(), GroupEvent::None);
    std::vector<std::vector<std::size_t>> groups;
    std::unordered_map<std::string_view, std::size_t> groupOf;
    for (std::size_t index = 0; index < entries.size(); ++index) {
        if (!insertReport(entries[index])) {
            continue;
        }
        const auto [found, isNew] = groupOf.try_emplace(entries[index].signature.id, groups.size());
        if (isNew) {
            groups.emplace_back();
        }
        groups[found->second].push_back(index);
    }
    for (const auto& members : groups) {
        addToGroup(entries, members, quiet, events);
    }
    return events;
}

// What a batch of reports adds to their group: totals, the newest report,
// the versions first and last seen and each sender's share.
struct ReportIndex::GroupAddition {
    std::uint64_t disk = 0;
    std::int64_t firstSeen = std::numeric_limits<std::int64_t>::max();
    const IndexEntry* newest = nullptr;
    std::int64_t newestReceived = 0;
    std::string firstVersion;
    std::string lastVersion;
    SenderLoads senders;

    void add(const IndexEntry& entry, std::int64_t received)
    {
        disk += entry.disk;
        firstSeen = std::min(firstSeen, received);
        if (newest == nullptr || std::tie(received, entry.id) > std::tie(newestReceived, newest->id)) {
            newest = &entry;
            newestReceived = received;
        }
        const std::string& version = entry.signature.facts.version;
        firstVersion = firstVersion.empty() ? version : firstVersion;
        lastVersion = version.empty() ? lastVersion : version;
        auto& [reports, senderDisk] = senders[entry.sender.address];
        ++reports;
        senderDisk += entry.disk;
    }
};

bool ReportIndex::insertReport(const IndexEntry& entry)
{
    const triage::Signature& signature = entry.signature;
    auto& insert = database_.cached("INSERT OR IGNORE INTO reports VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)");
    insert.bind(1, entry.id).bind(2, toMicroseconds(entry.received)).bind(3, entry.sender.text());
    insert.bind(4, entry.sender.addressText()).bind(5, toInteger(entry.bytes)).bind(6, toInteger(entry.disk));
    insert.bind(7, signature.id).bind(8, std::int64_t{triage::kSignatureVersion}).bind(9, signature.facts.host);
    insert.bind(10, signature.facts.unit).bind(11, signature.facts.executable).bind(12, signature.facts.signal);
    insert.bind(13, signature.facts.version).run();
    return sqlite3_changes(database_.handle()) != 0;
}

void ReportIndex::addToGroup(std::span<const IndexEntry> entries, std::span<const std::size_t> members,
                             std::chrono::seconds quiet, std::vector<GroupEvent>& events)
{
    const std::string& group = entries[members.front()].signature.id;
    auto& last = database_.cached("SELECT count, last_seen FROM groups WHERE grp = ?");
    last.bind(1, group);
    bool known = last.step();
    bool empty = !known || last.integer(0) <= 0;
    std::int64_t lastSeen = known ? last.integer(1) : 0;
    last.reset();
    // Each report is told as if added alone, in order: the first of a group
    // is new, and one after `quiet` with none is a regression.
    const std::int64_t quietMicroseconds = std::chrono::duration_cast<std::chrono::microseconds>(quiet).count();
    GroupAddition added;
    for (const std::size_t index : members) {
        const IndexEntry& entry = entries[index];
        const std::int64_t received = toMicroseconds(entry.received);
        if (!known) {
            events[index] = GroupEvent::New;
        } else if (received - lastSeen >= quietMicroseconds) {
            events[index] = GroupEvent::Regressed;
        }
        lastSeen = empty ? received : std::max(lastSeen, received);
        known = true;
        empty = false;
        added.add(entry, received);
    }
    const std::int64_t newHosts = addToSenders(group, added.senders);
    auto& update = database_.cached(R"(
        INSERT INTO groups VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)
        ON CONFLICT (grp) DO UPDATE SET
            count = count + excluded.count, disk = disk + excluded.disk, hosts = hosts + excluded.hosts,
            first_seen = iif(count = 0, excluded.first_seen, min(first_seen, excluded.first_seen)),
            title = iif(count = 0 OR (excluded.last_seen, excluded.newest) > (last_seen, newest),
                        excluded.title, title),
            signature = iif(count = 0 OR (excluded.last_seen, excluded.newest) > (last_seen, newest),
                            excluded.signature, signature),
            newest = iif(count = 0 OR (excluded.last_seen, excluded.newest) > (last_seen, newest),
                         excluded.newest, newest),
            last_seen = iif(count = 0, excluded.last_seen, max(last_seen, excluded.last_seen)),
            first_version = iif(count = 0 OR first_version = '', excluded.first_version, first_version),
            last_version = iif(count = 0 OR excluded.last_version <> '', excluded.last_version, last_version))");
    const IndexEntry& newest = *added.newest;
    update.bind(1, group).bind(2, newest.signature.title).bind(3, newest.signature.text);
    update.bind(4, static_cast<std::int64_t>(members.size())).bind(5, toInteger(added.disk)).bind(6, newHosts);
    update.bind(7, added.firstSeen).bind(8, added.newestReceived).bind(9, newest.id);
    update.bind(10, added.firstVersion).bind(11, added.lastVersion).run();
}

std::int64_t ReportIndex::addToSenders(const std::string& group, const SenderLoads& senders)
{
    std::int64_t newHosts = 0;
    auto& sender = database_.cached(
        "INSERT INTO group_senders VALUES (?1, ?2, ?3) ON CONFLICT DO UPDATE SET count = count + ?3 RETURNING count");
    auto& total = database_.cached("INSERT INTO senders VALUES (?1, ?2, ?3) "
                                   "ON CONFLICT DO UPDATE SET count = count + ?2, disk = disk + ?3");
    for (const auto& [address, load] : senders) {
        const std::string text = crashreports::Endpoint{address, 0}.addressText();
        sender.bind(1, group).bind(2, text).bind(3, load.first);
        newHosts += sender.step() && sender.integer(0) == load.first ? 1 : 0;
        sender.reset();
        total.bind(1, text).bind(2, load.first).bind(3, toInteger(load.second)).run();
    }
    return newHosts;
}

void ReportIndex::forgetOne(const std::string& id)
{
    auto& find = database_.cached("SELECT grp, address, disk FROM reports WHERE id = ?");
    find.bind(1, id);
    if (!find.step()) {
        return;
    }
    const std::string group = find.text(0);
    const std::string address = find.text(1);
    const std::int64_t disk = find.integer(2);
    find.reset();
    auto& remove = database_.cached("DELETE FROM reports WHERE id = ?");
    remove.bind(1, id).run();
    auto& sender = database_.cached("UPDATE group_senders SET count = count - 1 WHERE grp = ? AND address = ?");
    sender.bind(1, group).bind(2, address).run();
    auto& gone = database_.cached("DELETE FROM group_senders WHERE grp = ? AND address = ? AND count <= 0");
    gone.bind(1, group).bind(2, address).run();
    const bool lastOfSender = sqlite3_changes(database_.handle()) != 0;
    auto& update = database_.cached("UPDATE groups SET count = count - 1, disk = disk - ?, hosts = hosts - ? WHERE grp = ?");
    update.bind(1, disk).bind(2, std::int64_t{lastOfSender ? 1 : 0}).bind(3, group).run();
    auto& empty = database_.cached("DELETE FROM groups WHERE grp = ? AND count <= 0");
    empty.bind(1, group).run();
    auto& total = database_.cached("UPDATE senders SET count = count - 1, disk = disk - ? WHERE address = ?");
    total.bind(1, disk).bind(2, address).run();
    auto& none = database_.cached("DELETE FROM senders WHERE address = ? AND count <= 0");
    none.bind(1, address).run();
    refreshGroupTimes(group);
}

void ReportIndex::refreshGroupTimes(const std::string& group)
{
    auto& refresh = database_.cached(R"(
        UPDATE groups SET
            first_seen = (SELECT min(received) FROM reports WHERE grp = ?1),
            (last_seen, newest) = (
                SELECT received, id FROM reports WHERE grp = ?1
                ORDER BY received DESC, id DESC LIMIT 1)
        WHERE grp = ?1 AND count > 0)");
    refresh.bind(1, group).run();
}

void ReportIndex::takeVersionsFromTimes()
{
    database_.execute(R"(
        UPDATE groups SET
            first_version = coalesce((SELECT app_version FROM reports WHERE grp = groups.grp AND app_version <> ''
                                      ORDER BY received, rowid LIMIT 1), ''),
            last_version = coalesce((SELECT app_version FROM reports WHERE grp = groups.grp AND app_version <> ''
                                     ORDER BY received DESC, id DESC LIMIT 1), ''))");
}

IndexTotals ReportIndex::totals()
{
    auto& sum = database_.cached("SELECT coalesce(sum(count), 0), coalesce(sum(disk), 0) FROM groups");
    sum.step();
    const IndexTotals totals{toCount(sum.integer(0)), toCount(sum.integer(1))};
    sum.reset();
    return totals;
}

std::uint64_t ReportIndex::groupCount()
{
    auto& count = database_.cached("SELECT count(*) FROM groups WHERE count > 0");
    count.step();
    return toCount(count.integer(0));
}

}  // namespace store
