// Rebuilding a PostgreSQL store's signatures and groups from its reports,
// as a directory's index is rebuilt from its files. See PostgresCatalog.h.

#include "signature/Signature.h"
#include "store/postgres/PostgresCatalog.h"

namespace store {

namespace {

// Reports read at a time: reports are small, but a few may be large.
constexpr int kFetchReports = 64;
constexpr int kColumns = 9;

// The groups and their senders, made again from the reports as a
// directory's index adds its reports one by one: a group's title,
// signature and newest report are its newest report's (by time, then id).
// A group with no report left is gone, as it is from a rebuilt index.
constexpr const char* kRebuildGroups = R"(
    DELETE FROM group_senders;
    DELETE FROM groups;
    DELETE FROM senders;
    INSERT INTO senders (address, count, bytes) SELECT address, count(*), sum(bytes)::bigint FROM reports GROUP BY address;
    INSERT INTO group_senders (grp, address, count) SELECT grp, address, count(*) FROM reports GROUP BY grp, address;
    INSERT INTO groups (grp, title, signature, count, bytes, hosts, first_seen, last_seen, newest, first_version,
                        last_version)
    SELECT l.grp, l.title, l.signature, t.count, t.bytes, t.hosts, t.first_seen, l.received, l.id,
           coalesce(t.first_version, ''), coalesce(t.last_version, '')
    FROM (SELECT grp, count(*) AS count, sum(bytes)::bigint AS bytes, count(DISTINCT address) AS hosts,
                 min(received) AS first_seen,
                 (array_agg(app_version ORDER BY received, seq) FILTER (WHERE app_version <> ''))[1] AS first_version,
                 (array_agg(app_version ORDER BY received DESC, id DESC) FILTER (WHERE app_version <> ''))[1]
                     AS last_version
          FROM reports GROUP BY grp) AS t
    JOIN (SELECT DISTINCT ON (grp) grp, received, id, title, signature FROM reports
          ORDER BY grp, received DESC, id DESC) AS l USING (grp))";

// Sets the signatures of `rows` reports, kColumns parameters each.
std::string updateStatement(int rows)
{
    std::string values;
    int parameter = 0;
    for (int row = 0; row < rows; ++row) {
        values += row == 0 ? "(" : ", (";
        for (int column = 0; column < kColumns; ++column) {
            values += column == 0 ? "$" : ", $";
            values += std::to_string(++parameter);
        }
        values += ")";
    }
    return "UPDATE reports AS r SET grp = v.grp, title = v.title, signature = v.signature, version = "
        + std::to_string(triage::kSignatureVersion)
        + ", host = v.host, unit = v.unit, executable = v.executable, signal = v.signal, app_version = v.app_version"
          " FROM (VALUES "
        + values + ") AS v (id, grp, title, signature, host, unit, executable, signal, app_version) WHERE r.id = v.id";
}

// Signs the reports of one fetch again; how many there were.
int signAgain(pg::Connection& connection, const triage::SkipRules& rules)
{
    const pg::Result batch = connection.execute("FETCH " + std::to_string(kFetchReports) + " FROM every_report");
    pg::Params params;
    for (int row = 0; row < batch.rows(); ++row) {
        const triage::Signature signature = triage::computeSignature(batch.bytes(row, 1), rules);
        const triage::ReportFacts& facts = signature.facts;
        params.text(batch.text(row, 0)).text(signature.id).text(signature.title).text(signature.text);
        params.text(facts.host).text(facts.unit).text(facts.executable).text(facts.signal).text(facts.version);
    }
    if (batch.rows() != 0) {
        connection.execute(updateStatement(batch.rows()), params);
    }
    return batch.rows();
}

}  // namespace

Rebuilt rebuildPostgres(const StoreName& store, const triage::SkipRules& rules)
{
    pg::Connection connection = connectToStore(store, "crashReports");
    pg::Transaction transaction(connection);
    // Collectors' commits wait until the rebuild is done; readers go on.
    // The decisions are not the reports': they stay as they are.
    connection.run("LOCK TABLE reports, groups, group_senders, senders IN SHARE ROW EXCLUSIVE MODE");
    connection.run("DECLARE every_report NO SCROLL CURSOR FOR SELECT id, report FROM reports");
    while (signAgain(connection, rules) != 0) {
    }
    connection.run("CLOSE every_report");
    connection.run(kRebuildGroups);
    const pg::Result totals = connection.execute("SELECT coalesce(sum(count), 0)::bigint, count(*) FROM groups");
    transaction.commit();
    return {static_cast<std::uint64_t>(totals.integer(0, 0)), static_cast<std::uint64_t>(totals.integer(0, 1))};
}

}  // namespace store
