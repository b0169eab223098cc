#include "store/directory/DirectoryCatalog.h"

#include "common/FrameFormat.h"
#include "common/StartupError.h"
#include "store/ReportNames.h"
#include "store/directory/DecisionLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace store {

namespace {

using crashreports::StartupError;
using crashreports::UniqueFd;

// A report's columns, with its group's title.
constexpr const char* kReportColumns =
    "r.id, r.grp, g.title, r.received, r.sender, r.bytes, r.host, r.unit, r.executable, r.signal, r.app_version "
    "FROM reports AS r JOIN groups AS g ON g.grp = r.grp";

UniqueFd openDirectory(const std::filesystem::path& directory)
{
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        throw StartupError(crashreports::withReason("can't open report store " + directory.string(), error));
    }
    return fd;
}

ReportIndex openIndex(const std::filesystem::path& directory)
{
    if (!std::filesystem::exists(directory / kIndexFileName)) {
        throw StartupError("report store " + directory.string() + " has no index (" + kIndexFileName
                           + "): no collector stored into it yet, or run crashReports reindex");
    }
    try {
        return ReportIndex(directory, true);
    } catch (const sqlite::Error& error) {
        throw StartupError(error.what());
    }
}

ReportSummary reportFrom(const sqlite::Statement& row)
{
    return {row.text(0),
            row.text(1),
            row.text(2),
            fromMicroseconds(row.integer(3)),
            row.text(4),
            static_cast<std::uint64_t>(row.integer(5)),
            row.text(6),
            row.text(7),
            row.text(8),
            row.text(9),
            row.text(10)};
}

GroupSummary groupFrom(const sqlite::Statement& row)
{
    return {row.text(0),
            row.text(1),
            row.text(2),
            static_cast<std::uint64_t>(row.integer(3)),
            static_cast<std::uint64_t>(row.integer(4)),
            fromMicroseconds(row.integer(5)),
            fromMicroseconds(row.integer(6)),
            row.text(7),
            row.text(8),
            row.text(9)};
}

// A filter's shape: which of its time (1), group (2) and facts (4 on) it
// gives. Each shape has a statement of its own, which names only what is
// given, so that SQLite picks the index for it (by group, or by time).
std::size_t shapeOf(const ReportFilter& filter)
{
    return (filter.since ? 1 : 0) + (filter.group ? 2 : 0) + (filter.host ? 4 : 0) + (filter.unit ? 8 : 0)
        + (filter.executable ? 16 : 0) + (filter.version ? 32 : 0);
}

// The columns of the shape's bits, each with its parameter: the time as
// ?1, the group as ?2, the facts from ?4 on (?3 is the limit).
constexpr std::array<const char*, 6> kFilterColumns{"received >= ?1", "grp = ?2",        "host = ?4",
                                                    "unit = ?5",      "executable = ?6", "app_version = ?7"};

// The WHERE clause of a shape, over columns with `prefix`.
std::string whereOf(std::size_t shape, const std::string& prefix)
{
    std::string where;
    for (std::size_t bit = 0; bit < kFilterColumns.size(); ++bit) {
        if ((shape & (std::size_t{1} << bit)) != 0) {
            where += (where.empty() ? " WHERE " : " AND ") + prefix + kFilterColumns[bit];
        }
    }
    return where;
}

// Binds what the filter gives, as whereOf() names it.
void bindFilter(sqlite::Statement& statement, const ReportFilter& filter)
{
    if (filter.since) {
        statement.bind(1, toMicroseconds(*filter.since));
    }
    if (filter.group) {
        statement.bind(2, *filter.group);
    }
    const std::pair<int, const std::optional<std::string>*> facts[] = {
        {4, &filter.host}, {5, &filter.unit}, {6, &filter.executable}, {7, &filter.version}};
    for (const auto& [parameter, value] : facts) {
        if (*value) {
            statement.bind(parameter, **value);
        }
    }
}

}  // namespace

DirectoryCatalog::DirectoryCatalog(const std::filesystem::path& directory)
    : directory_(directory), directoryFd_(openDirectory(directory)), index_(openIndex(directory))
{
    // An index a collector of another version left, which one of this
    // version makes anew when it starts.
    if (const int version = index_.schemaVersion(); version != ReportIndex::kSchemaVersion) {
        throw StartupError("report store " + directory.string() + " has an index of version " + std::to_string(version)
                           + ", and this program reads version " + std::to_string(ReportIndex::kSchemaVersion)
                           + ": start a collector of this version, or run crashReports reindex");
    }
}

std::vector<GroupSummary> DirectoryCatalog::groups(const ReportFilter& filter)
{
    // Without a time or facts, the groups' own counts; with them, counted
    // anew over the reports they let through.
    if (!filter.since && !filter.byFacts()) {
        auto& query = index_.database().cached(R"(
            SELECT grp, title, signature, count, hosts, first_seen, last_seen, newest, first_version, last_version
            FROM groups WHERE count > 0 ORDER BY last_seen DESC, grp)");
        std::vector<GroupSummary> groups;
        while (query.step()) {
            groups.push_back(groupFrom(query));
        }
        query.reset();
        return groups;
    }
    ReportFilter reportFilter = filter;
    reportFilter.group.reset();
    // Facts alone: one pass over the reports in their order on disk beats
    // a walk by group that looks each report up.
    sqlite::Statement query(index_.database(), std::string(R"(
        SELECT r.grp, g.title, g.signature, count(*), count(DISTINCT r.address), min(r.received), max(r.received),
               g.newest, g.first_version, g.last_version
        FROM reports AS r)") + (filter.since ? "" : " NOT INDEXED") + " JOIN groups AS g ON g.grp = r.grp"
                                                   + whereOf(shapeOf(reportFilter), "r.")
                                                   + " GROUP BY r.grp ORDER BY max(r.received) DESC, r.grp");
    bindFilter(query, reportFilter);
    std::vector<GroupSummary> groups;
    while (query.step()) {
        groups.push_back(groupFrom(query));
    }
    return groups;
}

std::vector<ReportSummary> DirectoryCatalog::reports(const ReportFilter& filter)
{
    static const std::array<std::string, 64> sql = [] {
        std::array<std::string, 64> shapes;
        for (std::size_t shape = 0; shape < shapes.size(); ++shape) {
            shapes[shape] = std::string("SELECT ") + kReportColumns + whereOf(shape, "r.")
                + " ORDER BY r.received DESC, r.id DESC LIMIT ?3";
        }
        return shapes;
    }();
    auto& query = index_.database().cached(sql[shapeOf(filter)].c_str());
    bindFilter(query, filter);
    query.bind(3, filter.limit ? static_cast<std::int64_t>(*filter.limit) : std::int64_t{-1});
    std::vector<ReportSummary> reports;
    while (query.step()) {
        reports.push_back(reportFrom(query));
    }
    query.reset();
    return reports;
}

std::uint64_t DirectoryCatalog::countReports(const ReportFilter& filter)
{
    // Without a time or facts, the groups' own counts hold the answer.
    static const std::array<std::string, 64> sql = [] {
        std::array<std::string, 64> shapes;
        for (std::size_t shape = 0; shape < shapes.size(); ++shape) {
            shapes[shape] = "SELECT count(*) FROM reports" + whereOf(shape, "");
        }
        shapes[0] = "SELECT coalesce(sum(count), 0) FROM groups";
        shapes[2] = "SELECT coalesce(sum(count), 0) FROM groups WHERE grp = ?2";
        return shapes;
    }();
    auto& query = index_.database().cached(sql[shapeOf(filter)].c_str());
    bindFilter(query, filter);
    query.step();
    const auto count = static_cast<std::uint64_t>(query.integer(0));
    query.reset();
    return count;
}

std::optional<ReportSummary> DirectoryCatalog::report(const std::string& id)
{
    static const std::string sql = std::string("SELECT ") + kReportColumns + " WHERE r.id = ?";
    auto& query = index_.database().cached(sql.c_str());
    query.bind(1, id);
    std::optional<ReportSummary> found;
    if (query.step()) {
        found = reportFrom(query);
    }
    query.reset();
    return found;
}

std::optional<std::vector<unsigned char>> DirectoryCatalog::reportBytes(const std::string& id)
{
    // Only names that the store makes are opened: an id from a reader's
    // command line never becomes another path.
    if (!parseReportName(id)) {
        return std::nullopt;
    }
    const UniqueFd fd(::openat(directoryFd_.get(), id.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)
        || static_cast<std::uint64_t>(status.st_size) > frame_format::kMaxReportSize) {
        return std::nullopt;
    }
    std::vector<unsigned char> bytes(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::read(fd.get(), bytes.data() + done, bytes.size() - done);
        if (count <= 0) {
            return std::nullopt;
        }
        done += static_cast<std::size_t>(count);
    }
    return bytes;
}

Histogram DirectoryCatalog::histogram(const std::optional<std::string>& group, std::chrono::seconds width,
                                      std::size_t buckets, TimePoint now)
{
    const std::int64_t widthMicroseconds = std::chrono::duration_cast<std::chrono::microseconds>(width).count();
    const std::int64_t last = toMicroseconds(now) / widthMicroseconds * widthMicroseconds;
    const std::int64_t start = last - static_cast<std::int64_t>(buckets - 1) * widthMicroseconds;
    Histogram histogram{fromMicroseconds(start), width, std::vector<std::uint64_t>(buckets, 0)};
    auto& query = group ? index_.database().cached(R"(
        SELECT (received - ?1) / ?2, count(*) FROM reports
        WHERE grp = ?4 AND received >= ?1 AND received < ?3 GROUP BY 1)")
                        : index_.database().cached(R"(
        SELECT (received - ?1) / ?2, count(*) FROM reports
        WHERE received >= ?1 AND received < ?3 GROUP BY 1)");
    query.bind(1, start).bind(2, widthMicroseconds).bind(3, last + widthMicroseconds);
    if (group) {
        query.bind(4, *group);
    }
    while (query.step()) {
        const auto bucket = static_cast<std::size_t>(query.integer(0));
        if (bucket < buckets) {
            histogram.counts[bucket] = static_cast<std::uint64_t>(query.integer(1));
        }
    }
    query.reset();
    return histogram;
}

DecisionRecord DirectoryCatalog::decisions()
{
    try {
        DecisionRecord record{DecisionLog(directory_).read(), {}};
        record.groupOfReport = index_.groupsOf(reportsNamedBy(record.decisions));
        return record;
    } catch (const std::runtime_error& error) {
        throw StartupError(error.what());
    }
}

std::uint64_t DirectoryCatalog::hostsOf(std::span<const std::string> groups)
{
    std::string sql = "SELECT count(DISTINCT address) FROM group_senders WHERE grp IN (''";
    for (std::size_t index = 0; index < groups.size(); ++index) {
        sql += ",?";
    }
    sqlite::Statement query(index_.database(), sql + ")");
    for (std::size_t index = 0; index < groups.size(); ++index) {
        query.bind(static_cast<int>(index + 1), groups[index]);
    }
    query.step();
    return static_cast<std::uint64_t>(query.integer(0));
}

std::set<std::string> DirectoryCatalog::groupsMentioning(std::string_view text)
{
    auto& query = index_.database().cached(R"(
        SELECT DISTINCT grp FROM reports NOT INDEXED
        WHERE instr(host, ?1) OR instr(unit, ?1) OR instr(executable, ?1) OR instr(signal, ?1)
              OR instr(app_version, ?1))");
    query.bind(1, text);
    std::set<std::string> groups;
    while (query.step()) {
        groups.insert(query.text(0));
    }
    query.reset();
    return groups;
}

}  // namespace store
