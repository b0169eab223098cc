#include "ReportIndex.h"

#include <algorithm>

namespace store {

namespace {

constexpr int kSchemaVersion = 4;

// Groups: the aggregate of their reports, kept up to date as reports come
// and go, so that listing the groups never reads every report. A group's
// title and signature are those of the reports it holds (which share them);
// its newest report is the latest received, ties going to the greater id,
// so that the order reports were added in does not matter. A
// group whose reports are all gone stays, with a count of 0, so that its
// return is told as a regression rather than as a new crash. Reports are
// kept in the order they were added (rowid), which decides between reports
// received at the same moment which is the oldest.
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
    signal TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS reports_by_group ON reports (grp, received);
CREATE INDEX IF NOT EXISTS reports_by_time ON reports (received, id);
CREATE TABLE IF NOT EXISTS groups (
    grp TEXT PRIMARY KEY,
    title TEXT NOT NULL,
    signature TEXT NOT NULL,
    count INTEGER NOT NULL,
    disk INTEGER NOT NULL,
    hosts INTEGER NOT NULL,
    first_seen INTEGER NOT NULL,
    last_seen INTEGER NOT NULL,
    newest TEXT NOT NULL
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS groups_by_activity ON groups (last_seen, grp);
CREATE INDEX IF NOT EXISTS groups_by_size ON groups (count > 1, disk) WHERE count > 0;
CREATE TABLE IF NOT EXISTS group_senders (
    grp TEXT NOT NULL,
    address TEXT NOT NULL,
    count INTEGER NOT NULL,
    PRIMARY KEY (grp, address)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;
)";

std::int64_t toInteger(std::uint64_t value)
{
    return static_cast<std::int64_t>(value);
}

std::uint64_t toCount(std::int64_t value)
{
    return static_cast<std::uint64_t>(std::max<std::int64_t>(value, 0));
}

}  // namespace

std::int64_t toMicroseconds(TimePoint time)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
}

TimePoint fromMicroseconds(std::int64_t microseconds)
{
    return TimePoint(std::chrono::duration_cast<TimePoint::duration>(std::chrono::microseconds(microseconds)));
}

ReportIndex::ReportIndex(const std::filesystem::path& directory, bool readOnly)
    : database_(directory / kIndexFileName, readOnly)
{
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
    sqlite::Transaction transaction(database_);
    if (found != 0) {
        // Another schema: the index is derived data, so it starts over and
        // is caught up from the files.
        database_.execute("DROP TABLE IF EXISTS reports; DROP TABLE IF EXISTS groups;"
                          "DROP TABLE IF EXISTS group_senders; DROP TABLE IF EXISTS meta;");
    }
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
    std::vector<GroupEvent> events;
    if (forgotten.empty() && added.empty()) {
        return events;
    }
    sqlite::Transaction transaction(database_);
    for (const auto& id : forgotten) {
        forgetOne(id);
    }
    for (const auto& entry : added) {
        events.push_back(addOne(entry, quiet));
    }
    transaction.commit();
    return events;
}

GroupEvent ReportIndex::addOne(const IndexEntry& entry, std::chrono::seconds quiet)
{
    const std::int64_t received = toMicroseconds(entry.received);
    const std::string address = entry.sender.addressText();
    const triage::Signature& signature = entry.signature;
    auto& insert = database_.cached("INSERT OR IGNORE INTO reports VALUES (?,?,?,?,?,?,?,?,?,?,?,?)");
    insert.bind(1, entry.id).bind(2, received).bind(3, entry.sender.text()).bind(4, address);
    insert.bind(5, toInteger(entry.bytes)).bind(6, toInteger(entry.disk)).bind(7, signature.id);
    insert.bind(8, std::int64_t{triage::kSignatureVersion}).bind(9, signature.facts.host);
    insert.bind(10, signature.facts.unit).bind(11, signature.facts.executable).bind(12, signature.facts.signal).run();
    if (sqlite3_changes(database_.handle()) == 0) {
        return GroupEvent::None;
    }
    auto& last = database_.cached("SELECT last_seen FROM groups WHERE grp = ?");
    last.bind(1, signature.id);
    const bool known = last.step();
    const std::int64_t lastSeen = known ? last.integer(0) : 0;
    last.reset();
    auto& group = database_.cached(R"(
        INSERT INTO groups VALUES (?1, ?2, ?3, 1, ?4, 0, ?5, ?5, ?6)
        ON CONFLICT (grp) DO UPDATE SET
            count = count + 1, disk = disk + excluded.disk,
            first_seen = iif(count = 0, excluded.first_seen, min(first_seen, excluded.first_seen)),
            title = iif(count = 0 OR (excluded.last_seen, excluded.newest) > (last_seen, newest),
                        excluded.title, title),
            signature = iif(count = 0 OR (excluded.last_seen, excluded.newest) > (last_seen, newest),
                            excluded.signature, signature),
            newest = iif(count = 0 OR (excluded.last_seen, excluded.newest) > (last_seen, newest),
                         excluded.newest, newest),
            last_seen = iif(count = 0, excluded.last_seen, max(last_seen, excluded.last_seen)))");
    group.bind(1, signature.id).bind(2, signature.title).bind(3, signature.text).bind(4, toInteger(entry.disk));
    group.bind(5, received).bind(6, entry.id).run();
    auto& sender = database_.cached(
        "INSERT INTO group_senders VALUES (?, ?, 1) ON CONFLICT DO UPDATE SET count = count + 1 RETURNING count");
    sender.bind(1, signature.id).bind(2, address);
    const bool firstOfSender = sender.step() && sender.integer(0) == 1;
    sender.reset();
    if (firstOfSender) {
        auto& hosts = database_.cached("UPDATE groups SET hosts = hosts + 1 WHERE grp = ?");
        hosts.bind(1, signature.id).run();
    }
    if (!known) {
        return GroupEvent::New;
    }
    const std::int64_t quietMicroseconds = std::chrono::duration_cast<std::chrono::microseconds>(quiet).count();
    return received - lastSeen >= quietMicroseconds ? GroupEvent::Regressed : GroupEvent::None;
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

bool ReportIndex::contains(const std::string& id)
{
    auto& find = database_.cached("SELECT 1 FROM reports WHERE id = ?");
    find.bind(1, id);
    const bool found = find.step();
    find.reset();
    return found;
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

std::vector<GroupShare> ReportIndex::largestGroups(std::size_t count)
{
    auto& largest = database_.cached("SELECT grp, count, disk FROM groups WHERE count > 0 ORDER BY count > 1 DESC, disk DESC LIMIT ?");
    largest.bind(1, toInteger(count));
    std::vector<GroupShare> shares;
    while (largest.step()) {
        shares.push_back({largest.text(0), toCount(largest.integer(1)), toCount(largest.integer(2))});
    }
    largest.reset();
    return shares;
}

GroupShare ReportIndex::share(const std::string& group)
{
    auto& find = database_.cached("SELECT count, disk FROM groups WHERE grp = ?");
    find.bind(1, group);
    GroupShare share{group, 0, 0};
    if (find.step()) {
        share.count = toCount(find.integer(0));
        share.disk = toCount(find.integer(1));
    }
    find.reset();
    return share;
}

std::optional<StoredReport> ReportIndex::oldestOf(const std::string& group)
{
    auto& oldest = database_.cached("SELECT id, disk FROM reports WHERE grp = ? ORDER BY received, rowid LIMIT 1");
    oldest.bind(1, group);
    std::optional<StoredReport> found;
    if (oldest.step()) {
        found = StoredReport{oldest.text(0), toCount(oldest.integer(1))};
    }
    oldest.reset();
    return found;
}

std::vector<std::string> ReportIndex::idsAfter(const std::string& after, std::size_t count)
{
    auto& page = database_.cached("SELECT id FROM reports WHERE id > ? ORDER BY id LIMIT ?");
    page.bind(1, after).bind(2, toInteger(count));
    std::vector<std::string> ids;
    while (page.step()) {
        ids.push_back(page.text(0));
    }
    page.reset();
    return ids;
}

std::vector<std::string> ReportIndex::outdated(std::size_t count)
{
    auto& old = database_.cached("SELECT id FROM reports WHERE version <> ? LIMIT ?");
    old.bind(1, std::int64_t{triage::kSignatureVersion}).bind(2, toInteger(count));
    std::vector<std::string> ids;
    while (old.step()) {
        ids.push_back(old.text(0));
    }
    old.reset();
    return ids;
}

std::optional<std::string> ReportIndex::meta(const std::string& key)
{
    auto& find = database_.cached("SELECT value FROM meta WHERE key = ?");
    find.bind(1, key);
    std::optional<std::string> value;
    if (find.step()) {
        value = find.text(0);
    }
    find.reset();
    return value;
}

void ReportIndex::setMeta(const std::string& key, const std::string& value)
{
    auto& set = database_.cached("INSERT OR REPLACE INTO meta VALUES (?, ?)");
    set.bind(1, key).bind(2, value).run();
}

}  // namespace store
