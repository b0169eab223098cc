#include "store/postgres/PostgresDecisions.h"

namespace store::pg {

namespace {

// The words of `text`, split at spaces: report ids hold none.
std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> words;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find(' ', at), text.size());
        if (end > at) {
            words.push_back(text.substr(at, end - at));
        }
        at = end + 1;
    }
    return words;
}

}  // namespace

DecisionRecord readDecisions(Connection& connection)
{
    const Result rows = connection.execute(
        "SELECT decision, grp, into_grp, version, until, at, by, note, array_to_string(reports, ' ') FROM decisions "
        "ORDER BY seq");
    std::vector<Decision> decisions;
    for (int row = 0; row < rows.rows(); ++row) {
        const auto kind = decisionKindNamed(rows.text(row, 0));
        if (!kind) {
            continue;
        }
        decisions.push_back({*kind, rows.text(row, 1), rows.text(row, 2), rows.text(row, 3),
                             rows.isNull(row, 4) ? std::nullopt : std::optional(rows.time(row, 4)), rows.time(row, 5),
                             rows.text(row, 6), rows.text(row, 7), words(rows.text(row, 8))});
    }
    DecisionRecord record{std::move(decisions), {}};
    const Result groups = connection.execute("SELECT id, grp FROM reports WHERE id = ANY($1)",
                                             Params().texts(reportsNamedBy(record.decisions)));
    for (int row = 0; row < groups.rows(); ++row) {
        record.groupOfReport.emplace(groups.text(row, 0), groups.text(row, 1));
    }
    return record;
}

void insertDecision(Connection& connection, const Decision& decision)
{
    Params params;
    params.text(nameOf(decision.kind)).text(decision.group).text(decision.into).text(decision.version);
    if (decision.until) {
        params.time(*decision.until);
    } else {
        params.null(Type::TimestampTz);
    }
    params.time(decision.at).text(decision.by).text(decision.note).texts(decision.reports);
    connection.execute("INSERT INTO decisions (decision, grp, into_grp, version, until, at, by, note, reports) "
                       "VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)",
                       params);
}

std::int64_t decisionsStamp(Connection& connection)
{
    return connection.execute("SELECT coalesce(max(seq), 0) FROM decisions").integer(0, 0);
}

}  // namespace store::pg
