// What the budget asks the index: which groups and senders hold the most,
// and which of their reports is the oldest. See ReportIndex.h.

#include "store/directory/ReportIndex.h"

#include <algorithm>

namespace store {

namespace {

// The loads that `statement` (key, count, disk) finds; it is reset after.
std::vector<Load> loadsOf(sqlite::Statement& statement)
{
    std::vector<Load> loads;
    while (statement.step()) {
        loads.push_back({statement.text(0), toCount(statement.integer(1)), toCount(statement.integer(2))});
    }
    statement.reset();
    return loads;
}

// The report of the row `statement` stands on (id, disk, group, address).
StoredReport storedReportAt(sqlite::Statement& statement)
{
    return {statement.text(0), toCount(statement.integer(1)), statement.text(2), statement.text(3)};
}

std::optional<StoredReport> reportOf(sqlite::Statement& statement)
{
    std::optional<StoredReport> found;
    if (statement.step()) {
        found = storedReportAt(statement);
    }
    statement.reset();
    return found;
}

}  // namespace

std::vector<Load> ReportIndex::largestGroups(std::size_t count)
{
    auto& largest = database_.cached(
        "SELECT grp, count, disk FROM groups WHERE count > 0 ORDER BY count > 1 DESC, disk DESC LIMIT ?");
    largest.bind(1, toInteger(count));
    return loadsOf(largest);
}

std::vector<Load> ReportIndex::largestSenders(std::size_t count)
{
    auto& largest = database_.cached("SELECT address, count, disk FROM senders ORDER BY disk DESC LIMIT ?");
    largest.bind(1, toInteger(count));
    return loadsOf(largest);
}

Load ReportIndex::groupLoad(const std::string& group)
{
    auto& find = database_.cached("SELECT grp, count, disk FROM groups WHERE grp = ?");
    find.bind(1, group);
    const auto loads = loadsOf(find);
    return loads.empty() ? Load{group, 0, 0} : loads.front();
}

Load ReportIndex::senderLoad(const std::string& address)
{
    auto& find = database_.cached("SELECT address, count, disk FROM senders WHERE address = ?");
    find.bind(1, address);
    const auto loads = loadsOf(find);
    return loads.empty() ? Load{address, 0, 0} : loads.front();
}

std::optional<StoredReport> ReportIndex::oldestOfGroup(const std::string& group)
{
    auto& oldest = database_.cached(R"(
        SELECT id, disk, grp, address FROM reports
        WHERE grp = ?1 AND address = (
            SELECT address FROM group_senders WHERE grp = ?1 ORDER BY count DESC, address LIMIT 1)
        ORDER BY received, rowid LIMIT 1)");
    oldest.bind(1, group);
    return reportOf(oldest);
}

std::optional<StoredReport> ReportIndex::oldestOfSender(const std::string& address)
{
    auto& oldest = database_.cached(
        "SELECT id, disk, grp, address FROM reports WHERE address = ? ORDER BY received, rowid LIMIT 1");
    oldest.bind(1, address);
    return reportOf(oldest);
}

std::vector<StoredReport> ReportIndex::receivedBefore(TimePoint before, std::size_t count)
{
    auto& aged = database_.cached(R"(
        SELECT id, disk, grp, address FROM reports AS r
        WHERE received < ?1 AND id <> (SELECT newest FROM groups WHERE grp = r.grp)
        ORDER BY received, rowid LIMIT ?2)");
    aged.bind(1, toMicroseconds(before)).bind(2, toInteger(count));
    std::vector<StoredReport> reports;
    while (aged.step()) {
        reports.push_back(storedReportAt(aged));
    }
    aged.reset();
    return reports;
}

std::map<std::string, std::string> ReportIndex::groupsOf(std::span<const std::string> ids)
{
    // A few hundred at once: one statement a chunk rather than one a report.
    constexpr std::size_t kChunk = 500;
    std::map<std::string, std::string> groups;
    for (std::size_t from = 0; from < ids.size(); from += kChunk) {
        const std::size_t count = std::min(kChunk, ids.size() - from);
        std::string sql = "SELECT id, grp FROM reports WHERE id IN (?";
        for (std::size_t index = 1; index < count; ++index) {
            sql += ",?";
        }
        sqlite::Statement query(database_, sql + ")");
        for (std::size_t index = 0; index < count; ++index) {
            query.bind(static_cast<int>(index + 1), ids[from + index]);
        }
        while (query.step()) {
            groups.emplace(query.text(0), query.text(1));
        }
    }
    return groups;
}

}  // namespace store
