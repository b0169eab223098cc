// The PostgreSQL store's commit transaction: the budget's lock first, where
// there is a budget; then the groups written to, made where they are new and
// locked in one order, so that collectors committing at once wait for each
// other rather than deadlock; then the reports, with their groups' and
// senders' aggregates, in one statement, and room made report by report
// where the budget is reached. See PostgresStore.h.

#include "common/Plural.h"
#include "common/TimeText.h"
#include "store/postgres/PostgresSchema.h"
#include "store/postgres/PostgresStore.h"

#include <algorithm>
#include <iterator>

namespace store {

namespace {

constexpr int kColumns = 13;

// Adds to a group's row what the inserted reports change, as the index of a
// directory does report by report: title, signature and newest are the
// newest report's (by time, then id), and a group left with no report
// (count 0) takes the new reports' times as they are.
constexpr const char* kInsertAndCount = R"(,
inserted AS (
    INSERT INTO reports (id, received, sender, address, bytes, grp, title, signature, version, host, unit,
                         executable, signal, report, app_version)
    SELECT id, received, sender, address, octet_length(report), grp, title, signature, $VERSION, host, unit,
           executable, signal, report, app_version
    FROM incoming
    ON CONFLICT (id) DO NOTHING
    RETURNING id, received, address, bytes, grp, title, signature, app_version),
sender_counts AS (SELECT grp, address, count(*) AS reports FROM inserted GROUP BY grp, address),
group_sender_rows AS (
    INSERT INTO group_senders AS s (grp, address, count)
    SELECT grp, address, reports FROM sender_counts ORDER BY grp, address
    ON CONFLICT (grp, address) DO UPDATE SET count = s.count + excluded.count
    RETURNING grp, address, count),
sender_rows AS (
    INSERT INTO senders AS s (address, count, bytes)
    SELECT address, count(*), sum(bytes)::bigint FROM inserted GROUP BY address ORDER BY address
    ON CONFLICT (address) DO UPDATE SET count = s.count + excluded.count, bytes = s.bytes + excluded.bytes),
new_hosts AS (
    SELECT s.grp, count(*) AS added FROM group_sender_rows AS s JOIN sender_counts AS c USING (grp, address)
    WHERE s.count = c.reports GROUP BY s.grp),
latest AS (
    SELECT DISTINCT ON (grp) grp, received, id, title, signature FROM inserted
    ORDER BY grp, received DESC, id DESC),
totals AS (
    SELECT grp, count(*) AS reports, sum(bytes)::bigint AS bytes, min(received) AS first_seen
    FROM inserted GROUP BY grp),
versions AS (
    SELECT grp, (array_agg(app_version ORDER BY received, id))[1] AS first_version,
           (array_agg(app_version ORDER BY received DESC, id DESC))[1] AS last_version
    FROM inserted WHERE app_version <> '' GROUP BY grp),
grouped AS (
    UPDATE groups AS g SET
        count = g.count + t.reports,
        bytes = g.bytes + t.bytes,
        hosts = g.hosts + coalesce(h.added, 0),
        first_seen = CASE WHEN g.count = 0 THEN t.first_seen ELSE least(g.first_seen, t.first_seen) END,
        last_seen = CASE WHEN g.count = 0 THEN l.received ELSE greatest(g.last_seen, l.received) END,
        title = CASE WHEN g.count = 0 OR (l.received, l.id) > (g.last_seen, g.newest) THEN l.title ELSE g.title END,
        signature = CASE WHEN g.count = 0 OR (l.received, l.id) > (g.last_seen, g.newest)
                         THEN l.signature ELSE g.signature END,
        newest = CASE WHEN g.count = 0 OR (l.received, l.id) > (g.last_seen, g.newest) THEN l.id ELSE g.newest END,
        first_version = CASE WHEN g.count = 0 OR g.first_version = '' THEN coalesce(v.first_version, '')
                             ELSE g.first_version END,
        last_version = CASE WHEN g.count = 0 THEN coalesce(v.last_version, '')
                            ELSE coalesce(v.last_version, g.last_version) END
    FROM totals AS t JOIN latest AS l USING (grp) LEFT JOIN new_hosts AS h USING (grp) LEFT JOIN versions AS v USING (grp)
    WHERE g.grp = t.grp)
SELECT id FROM inserted)";

// Rows for new groups, which the insert then fills in as it does a group
// left with no report; those it made.
constexpr const char* kMakeGroups = R"(
    INSERT INTO groups (grp, title, signature, count, bytes, hosts, first_seen, last_seen, newest)
    SELECT grp, '', '', 0, 0, 0, 'epoch', 'epoch', '' FROM unnest($1::text[]) AS grp ORDER BY grp
    ON CONFLICT (grp) DO NOTHING RETURNING grp)";

constexpr const char* kLockGroups = R"(
    SELECT grp, count, last_seen FROM groups WHERE grp = ANY($1) ORDER BY grp FOR UPDATE)";

// The statement that inserts `rows` reports of kColumns parameters each.
std::string insertStatement(std::size_t rows)
{
    std::string sql = "WITH incoming (id, received, sender, address, grp, title, signature, host, unit, executable, "
                      "signal, report, app_version) AS (VALUES ";
    int parameter = 0;
    for (std::size_t row = 0; row < rows; ++row) {
        sql += row == 0 ? "(" : ", (";
        for (int column = 0; column < kColumns; ++column) {
            sql += column == 0 ? "$" : ", $";
            sql += std::to_string(++parameter);
        }
        sql += ")";
    }
    sql += ")";
    const std::string_view rest = kInsertAndCount;
    const std::size_t version = rest.find("$VERSION");
    sql += rest.substr(0, version);
    sql += std::to_string(triage::kSignatureVersion);
    sql += rest.substr(version + 8);
    return sql;
}

std::string budgetLockCall()
{
    return "SELECT pg_advisory_xact_lock(" + std::to_string(pg::kLockClass) + ", " + std::to_string(pg::kBudgetLock)
        + ")";
}

}  // namespace

std::size_t PostgresStore::writeFrom(std::vector<PendingReport>& group, std::size_t from,
                                     std::vector<CommitResult>& results)
{
    pg::Transaction transaction(*connection_);
    Writing writing;
    std::uint64_t incoming = 0;
    if (maxUse_ != 0) {
        connection_->execute(budgetLockCall());
        writing.storedBytes = storedBytes();
        for (std::size_t index = from; index < group.size(); ++index) {
            incoming += group[index].size;
        }
    }
    lockGroups(group, from, writing);
    std::size_t next = from;
    if (maxUse_ == 0 || writing.storedBytes + incoming <= maxUse_) {
        insert(group, from, group.size(), writing, results);
        next = group.size();
    }
    for (; next < group.size(); ++next) {
        const Fit fit = makeRoomFor(group[next], writing, results[next]);
        if (fit == Fit::CommitFirst) {
            break;
        }
        if (fit == Fit::TooLarge) {
            results[next].error = makeRoom(group[next].size, group[next].info).refusal;
            continue;
        }
        insert(group, next, next + 1, writing, results);
    }
    transaction.commit();
    std::ranges::move(writing.news, std::back_inserter(outbox_.news));
    count_ = count_ + writing.added - std::min(count_ + writing.added, writing.removed);
    return next;
}

std::uint64_t PostgresStore::storedBytes()
{
    return static_cast<std::uint64_t>(
        connection_->execute("SELECT coalesce(sum(bytes), 0)::bigint FROM groups").integer(0, 0));
}

void PostgresStore::lockGroups(const std::vector<PendingReport>& group, std::size_t from, Writing& writing)
{
    std::vector<std::string> ids;
    for (std::size_t index = from; index < group.size(); ++index) {
        ids.push_back(group[index].info.signature.id);
    }
    std::ranges::sort(ids);
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    const pg::Result made = connection_->execute(kMakeGroups, pg::Params().texts(ids));
    std::set<std::string> madeNow;
    for (int row = 0; row < made.rows(); ++row) {
        madeNow.insert(made.text(row, 0));
    }
    const pg::Result locked = connection_->execute(kLockGroups, pg::Params().texts(ids));
    for (int row = 0; row < locked.rows(); ++row) {
        const std::string id = locked.text(row, 0);
        writing.groups[id] = {!madeNow.contains(id), static_cast<std::uint64_t>(locked.integer(row, 1)),
                              locked.time(row, 2)};
    }
}

void PostgresStore::insert(const std::vector<PendingReport>& group, std::size_t from, std::size_t to,
                           Writing& writing, std::vector<CommitResult>& results)
{
    pg::Params params;
    for (std::size_t index = from; index < to; ++index) {
        const PendingReport& report = group[index];
        const triage::Signature& signature = report.info.signature;
        const triage::ReportFacts& facts = signature.facts;
        params.text(heldOf(report).id).time(report.info.received).text(report.info.sender.text());
        params.text(report.info.sender.addressText()).text(signature.id).text(signature.title).text(signature.text);
        params.text(facts.host).text(facts.unit).text(facts.executable).text(facts.signal);
        params.bytes(heldOf(report).bytes).text(facts.version);
    }
    const pg::Result inserted = connection_->execute(insertStatement(to - from), params);
    for (int row = 0; row < inserted.rows(); ++row) {
        writing.inserted.insert(inserted.text(row, 0));
    }
    for (std::size_t index = from; index < to; ++index) {
        results[index].name = heldOf(group[index]).id;
        if (writing.inserted.contains(results[index].name)) {
            writing.storedBytes += group[index].size;
            ++writing.added;
        }
    }
    tellEvents(group, from, to, writing);
}

void PostgresStore::tellEvents(const std::vector<PendingReport>& group, std::size_t from, std::size_t to,
                               Writing& writing) const
{
    // Report by report, in order, as the index of a directory tells them:
    // the first report of a group that had no row is new; a report after
    // the group was quiet for regressedAfter is a regression. A report that
    // an earlier try already stored is neither.
    for (std::size_t index = from; index < to; ++index) {
        const PendingReport& report = group[index];
        if (!writing.inserted.contains(heldOf(report).id)) {
            continue;
        }
        const triage::Signature& signature = report.info.signature;
        const auto tell = [&](GroupEvent event) {
            writing.news.push_back({event, signature.id, signature.title, heldOf(report).id, report.info.sender.text()});
        };
        GroupState& state = writing.groups[signature.id];
        const Clock::time_point received = report.info.received;
        if (!state.known) {
            tell(GroupEvent::New);
            state = {true, 1, received};
            continue;
        }
        if (received - state.lastSeen >= options_.regressedAfter) {
            tell(GroupEvent::Regressed);
        }
        state.lastSeen = state.count == 0 ? received : std::max(state.lastSeen, received);
        ++state.count;
    }
}

}  // namespace store
