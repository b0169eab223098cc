#include "store/postgres/PostgresCatalog.h"

#include "common/StartupError.h"
#include "store/postgres/PostgresDecisions.h"
#include "store/postgres/PostgresSchema.h"

namespace store {

namespace {

using crashreports::StartupError;

constexpr const char* kReportColumns
    = "id, grp, title, received, sender, bytes, host, unit, executable, signal, app_version";
// The filter's time, group, host, unit, executable and version as $1 to $6,
// NULL where it gives none.
constexpr const char* kFiltered = "($1::timestamptz IS NULL OR received >= $1) AND ($2::text IS NULL OR grp = $2)"
                                  " AND ($3::text IS NULL OR host = $3) AND ($4::text IS NULL OR unit = $4)"
                                  " AND ($5::text IS NULL OR executable = $5) AND ($6::text IS NULL OR app_version = $6)";

ReportSummary reportFrom(const pg::Result& rows, int row)
{
    return {rows.text(row, 0),
            rows.text(row, 1),
            rows.text(row, 2),
            rows.time(row, 3),
            rows.text(row, 4),
            static_cast<std::uint64_t>(rows.integer(row, 5)),
            rows.text(row, 6),
            rows.text(row, 7),
            rows.text(row, 8),
            rows.text(row, 9),
            rows.text(row, 10)};
}

GroupSummary groupFrom(const pg::Result& rows, int row)
{
    return {rows.text(row, 0),
            rows.text(row, 1),
            rows.text(row, 2),
            static_cast<std::uint64_t>(rows.integer(row, 3)),
            static_cast<std::uint64_t>(rows.integer(row, 4)),
            rows.time(row, 5),
            rows.time(row, 6),
            rows.text(row, 7),
            rows.text(row, 8),
            rows.text(row, 9)};
}

pg::Params filterParams(const ReportFilter& filter)
{
    pg::Params params;
    if (filter.since) {
        params.time(*filter.since);
    } else {
        params.null(pg::Type::TimestampTz);
    }
    for (const auto* value : {&filter.group, &filter.host, &filter.unit, &filter.executable, &filter.version}) {
        if (*value) {
            params.text(**value);
        } else {
            params.null(pg::Type::Text);
        }
    }
    return params;
}

std::int64_t microseconds(std::chrono::system_clock::duration span)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(span).count();
}

}  // namespace

pg::Connection connectToStore(const StoreName& store, const std::string& program)
{
    const std::string& shownAs = store.shown();
    if (const std::string error = pg::checkUri(store); !error.empty()) {
        throw StartupError(error);
    }
    try {
        pg::Connection connection(store.text(), shownAs, {program});
        const auto version = pg::schemaVersion(connection);
        if (!version) {
            throw StartupError("report store " + shownAs + " has no report tables: no collector stored into it yet");
        }
        if (*version != pg::kSchemaVersion) {
            throw StartupError("report store " + shownAs + " has tables of version " + std::to_string(*version)
                               + ", and this program reads version " + std::to_string(pg::kSchemaVersion)
                               + ": start a collector of this version to upgrade them");
        }
        return connection;
    } catch (const pg::Error& error) {
        throw StartupError(error.what());
    }
}

PostgresCatalog::PostgresCatalog(const StoreName& store) : connection_(connectToStore(store, "crashReports")) {}

std::vector<GroupSummary> PostgresCatalog::groups(const ReportFilter& filter)
{
    // Without a time or facts, the groups' own counts; with them, counted
    // anew over the reports they let through.
    ReportFilter reportFilter = filter;
    reportFilter.group.reset();
    const pg::Result rows = filter.since || filter.byFacts()
        ? connection_.execute(std::string(R"(
        SELECT g.grp, g.title, g.signature, count(*), count(DISTINCT r.address), min(r.received), max(r.received),
               g.newest, g.first_version, g.last_version
        FROM (SELECT * FROM reports WHERE )") + kFiltered + R"() AS r JOIN groups AS g ON g.grp = r.grp
        GROUP BY g.grp ORDER BY max(r.received) DESC, g.grp)",
                              filterParams(reportFilter))
        : connection_.execute(R"(
        SELECT grp, title, signature, count, hosts, first_seen, last_seen, newest, first_version, last_version
        FROM groups WHERE count > 0 ORDER BY last_seen DESC, grp)");
    std::vector<GroupSummary> groups;
    for (int row = 0; row < rows.rows(); ++row) {
        groups.push_back(groupFrom(rows, row));
    }
    return groups;
}

std::vector<ReportSummary> PostgresCatalog::reports(const ReportFilter& filter)
{
    pg::Params params = filterParams(filter);
    if (filter.limit) {
        params.integer(static_cast<std::int64_t>(*filter.limit));
    } else {
        params.null(pg::Type::Int8);
    }
    const pg::Result rows = connection_.execute(std::string("SELECT ") + kReportColumns + " FROM reports WHERE "
                                                    + kFiltered + " ORDER BY received DESC, id DESC LIMIT $7",
                                                params);
    std::vector<ReportSummary> reports;
    for (int row = 0; row < rows.rows(); ++row) {
        reports.push_back(reportFrom(rows, row));
    }
    return reports;
}

std::uint64_t PostgresCatalog::countReports(const ReportFilter& filter)
{
    const pg::Result rows
        = connection_.execute(std::string("SELECT count(*) FROM reports WHERE ") + kFiltered, filterParams(filter));
    return static_cast<std::uint64_t>(rows.integer(0, 0));
}

std::optional<ReportSummary> PostgresCatalog::report(const std::string& id)
{
    const pg::Result rows = connection_.execute(
        std::string("SELECT ") + kReportColumns + " FROM reports WHERE id = $1", pg::Params().text(id));
    return rows.rows() == 0 ? std::nullopt : std::optional(reportFrom(rows, 0));
}

std::optional<std::vector<unsigned char>> PostgresCatalog::reportBytes(const std::string& id)
{
    const pg::Result rows = connection_.execute("SELECT report FROM reports WHERE id = $1", pg::Params().text(id));
    return rows.rows() == 0 ? std::nullopt : std::optional(rows.bytes(0, 0));
}

Histogram PostgresCatalog::histogram(const std::optional<std::string>& group, std::chrono::seconds width,
                                     std::size_t buckets, TimePoint now)
{
    const std::int64_t widthMicroseconds = microseconds(width);
    const std::int64_t last = microseconds(now.time_since_epoch()) / widthMicroseconds * widthMicroseconds;
    const std::int64_t start = last - static_cast<std::int64_t>(buckets - 1) * widthMicroseconds;
    const auto at = [](std::int64_t micro) { return TimePoint(std::chrono::microseconds(micro)); };
    Histogram histogram{at(start), width, std::vector<std::uint64_t>(buckets, 0)};
    pg::Params params;
    params.integer(start).integer(widthMicroseconds).time(at(start)).time(at(last + widthMicroseconds));
    if (group) {
        params.text(*group);
    } else {
        params.null(pg::Type::Text);
    }
    const pg::Result rows = connection_.execute(R"(
        SELECT ((extract(epoch FROM received) * 1000000)::bigint - $1) / $2, count(*) FROM reports
        WHERE received >= $3 AND received < $4 AND ($5::text IS NULL OR grp = $5) GROUP BY 1)",
                                                params);
    for (int row = 0; row < rows.rows(); ++row) {
        const auto bucket = static_cast<std::size_t>(rows.integer(row, 0));
        if (bucket < buckets) {
            histogram.counts[bucket] = static_cast<std::uint64_t>(rows.integer(row, 1));
        }
    }
    return histogram;
}

void recordPostgresDecision(const StoreName& store, const Decision& decision)
{
    pg::Connection connection = connectToStore(store, "crashReports");
    pg::insertDecision(connection, decision);
}

DecisionRecord PostgresCatalog::decisions()
{
    return pg::readDecisions(connection_);
}

std::uint64_t PostgresCatalog::hostsOf(std::span<const std::string> groups)
{
    const pg::Result rows = connection_.execute(
        "SELECT count(DISTINCT address) FROM group_senders WHERE grp = ANY($1)",
        pg::Params().texts(std::vector<std::string>(groups.begin(), groups.end())));
    return static_cast<std::uint64_t>(rows.integer(0, 0));
}

std::set<std::string> PostgresCatalog::groupsMentioning(std::string_view text)
{
    const pg::Result rows = connection_.execute(R"(
        SELECT DISTINCT grp FROM reports
        WHERE strpos(host, $1) > 0 OR strpos(unit, $1) > 0 OR strpos(executable, $1) > 0 OR strpos(signal, $1) > 0
              OR strpos(app_version, $1) > 0)",
                                                pg::Params().text(std::string(text)));
    std::set<std::string> groups;
    for (int row = 0; row < rows.rows(); ++row) {
        groups.insert(rows.text(row, 0));
    }
    return groups;
}

}  // namespace store
