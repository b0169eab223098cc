#pragma once

// The catalog of a PostgreSQL store: its tables answer what is stored, with
// the same orderings as a directory's index, so that the reader's output is
// the same for both kinds of store. It only reads: a role granted SELECT on
// the tables is enough.

#include "store/Catalog.h"
#include "store/postgres/Postgres.h"

namespace triage {
class SkipRules;
}

namespace store {

class PostgresCatalog final : public Catalog {
public:
    // Connects to the database that `store` names by a libpq URI. Throws
    // StartupError naming the URI (without its password) if it can't be
    // reached or holds no tables of this program's version.
    explicit PostgresCatalog(const StoreName& store);

    std::vector<GroupSummary> groups(const ReportFilter& filter) override;
    std::vector<ReportSummary> reports(const ReportFilter& filter) override;
    std::uint64_t countReports(const ReportFilter& filter) override;
    std::optional<ReportSummary> report(const std::string& id) override;
    std::optional<std::vector<unsigned char>> reportBytes(const std::string& id) override;
    Histogram histogram(const std::optional<std::string>& group, std::chrono::seconds width, std::size_t buckets,
                        TimePoint now) override;
    DecisionRecord decisions() override;
    std::uint64_t hostsOf(std::span<const std::string> groups) override;
    std::set<std::string> groupsMentioning(std::string_view text) override;

private:
    pg::Connection connection_;
};

// Connects to `store` for `program` and checks that its tables are of this
// program's version. Throws StartupError naming the URI (without its
// password) and why not.
pg::Connection connectToStore(const StoreName& store, const std::string& program);

// Computes the signature of every report in the database `store` again
// under `rules`, and rebuilds the groups and their senders from the
// reports, in one transaction that collectors wait for and readers see
// whole or not at all; what it holds afterwards. Throws StartupError as
// connectToStore() does, and pg::Error if the rebuild fails.
Rebuilt rebuildPostgres(const StoreName& store, const triage::SkipRules& rules);

// Adds `decision` to the decisions of the database `store`. Throws
// StartupError as connectToStore() does, and pg::Error if the insert fails
// (a role that may not write the table, say).
void recordPostgresDecision(const StoreName& store, const Decision& decision);

}  // namespace store
