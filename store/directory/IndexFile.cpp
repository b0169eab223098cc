// The index as a file beside the reports: its log and how it is cut back,
// whether this collector may write it and whether it is still in place,
// what it keeps of its own, and what the walk over the report files asks
// of it. See ReportIndex.h.

#include "store/directory/ReportIndex.h"

#include <sys/stat.h>

#include <system_error>

namespace store {

int ReportIndex::schemaVersion()
{
    auto& version = database_.cached("PRAGMA user_version");
    version.step();
    const auto found = static_cast<int>(version.integer(0));
    version.reset();
    return found;
}

bool ReportIndex::readOnly() const
{
    return sqlite3_db_readonly(database_.handle(), "main") == 1;
}

bool ReportIndex::inPlace() const
{
    struct stat status {};
    return ::stat(path_.c_str(), &status) == 0 && std::pair(status.st_dev, status.st_ino) == identity_;
}

std::uint64_t ReportIndex::logBytes() const
{
    std::error_code error;
    const auto size = std::filesystem::file_size(std::filesystem::path(path_.string() + "-wal"), error);
    return error ? 0 : static_cast<std::uint64_t>(size);
}

bool ReportIndex::checkpoint(bool truncate)
{
    // A truncating checkpoint waits for readers: it is tried without waiting.
    database_.waitForLocks(!truncate);
    const int code = sqlite3_wal_checkpoint_v2(database_.handle(), "main",
                                               truncate ? SQLITE_CHECKPOINT_TRUNCATE : SQLITE_CHECKPOINT_PASSIVE,
                                               nullptr, nullptr);
    database_.waitForLocks(true);
    if (code == SQLITE_BUSY) {
        // A reader holds the log: what it reads can't be moved yet.
        return false;
    }
    if (code != SQLITE_OK) {
        throw sqlite::Error(database_.message(), sqlite3_extended_errcode(database_.handle()));
    }
    written_ = false;
    return true;
}

bool ReportIndex::contains(const std::string& id)
{
    auto& find = database_.cached("SELECT 1 FROM reports WHERE id = ?");
    find.bind(1, id);
    const bool found = find.step();
    find.reset();
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

std::optional<TimePoint> ReportIndex::newestReceived()
{
    auto& newest = database_.cached("SELECT max(received) FROM reports");
    std::optional<TimePoint> found;
    if (newest.step() && !newest.isNull(0)) {
        found = fromMicroseconds(newest.integer(0));
    }
    newest.reset();
    return found;
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
