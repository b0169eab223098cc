#include "store/postgres/PostgresStore.h"

#include "common/Plural.h"
#include "common/StartupError.h"
#include "store/ReportNames.h"
#include "store/postgres/PostgresDecisions.h"
#include "store/postgres/PostgresSchema.h"

#include <algorithm>
#include <cerrno>

namespace store {

namespace {

using crashreports::StartupError;

// One statement carries a group: 12 parameters a report keeps it well
// within the protocol's 65,535, and 1024 reports share one commit's cost.
constexpr std::size_t kMostGroupReports = 1024;
constexpr std::uint64_t kMostGroupBytes = 16 << 20;
// Connecting again after a loss: at once, then after a wait that doubles
// from the first to the most.
constexpr auto kFirstWait = std::chrono::milliseconds(500);
constexpr auto kMostWait = std::chrono::seconds(30);
// A transaction that loses a deadlock to another collector's is run again
// this many times before the database counts as lost.
constexpr int kMostConflicts = 5;
// A commit that waits longer than this (for a reindex that holds the tables,
// for a server that hangs) gives up and is tried again later, so that the
// storing loop goes on telling systemd that it is alive (WatchdogSec=60s).
// Only where neither the server nor the URI set a limit of their own.
constexpr const char* kTimeouts
    = "SELECT set_config('lock_timeout', '20s', false) WHERE current_setting('lock_timeout') = '0';"
      "SELECT set_config('statement_timeout', '40s', false) WHERE current_setting('statement_timeout') = '0'";

std::string secondsIn(std::chrono::steady_clock::duration span)
{
    return crashreports::plural(
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(span).count()), "second");
}

}  // namespace

PostgresStore::PostgresStore(const StoreName& store, const StoreOptions& options)
    : uri_(store.text()),
      shownAs_(store.shown()),
      options_(options),
      maxUse_(options.budget.maxUse.value_or(kDefaultCap)),
      owner_(drawOwnerMark())
{
    if (const std::string error = pg::checkUri(store); !error.empty()) {
        throw StartupError(error);
    }
    starting_ = true;
    if (options.budget.keepFree.value_or(0) != 0 || options.budget.keepFreeInodes.value_or(0) != 0) {
        outbox_.notices.push_back({Notice::Level::Warning, "--keep-free and --keep-free-inodes don't apply to a database: ignored"});
    }
    ready();
    starting_ = false;
}

bool PostgresStore::connect()
{
    try {
        pg::Connection connection(uri_, shownAs_, {"collectCrashReports"});
        try {
            connection.run(kTimeouts);
            pg::prepareSchema(connection);
            count_ = static_cast<std::uint64_t>(
                connection.execute("SELECT coalesce(sum(count), 0)::bigint FROM groups").integer(0, 0));
        } catch (const pg::Error& error) {
            throw pg::Error("can't prepare the tables in " + shownAs_ + ": " + error.what(), error.sqlState(),
                            error.connectionLost());
        }
        connection_.emplace(std::move(connection));
        return true;
    } catch (const pg::Error& error) {
        if (starting_ && error.sqlState() == pg::kWrongEncoding) {
            // Not a database that is away for a while: one to make anew.
            throw StartupError(error.what());
        }
        if (!lostAt_) {
            lostAt_ = Steady::now();
            outbox_.notices.push_back({Notice::Level::Error, std::string(error.what()) + "; reports wait in the queue while "
                                          + shownAs_ + " is tried again"});
        }
        return false;
    }
}

bool PostgresStore::ready()
{
    if (connection_) {
        return true;
    }
    if (Steady::now() < nextAttempt_) {
        return false;
    }
    if (!connect()) {
        scheduleAttempt();
        return false;
    }
    if (lostAt_) {
        outbox_.notices.push_back({Notice::Level::Info, "reached " + shownAs_ + " again after " + secondsIn(Steady::now() - *lostAt_)
                                       + ": storing the reports that waited"});
        lostAt_.reset();
    }
    return true;
}

void PostgresStore::scheduleAttempt()
{
    nextAttempt_ = Steady::now() + backoff_;
    backoff_ = std::clamp<Steady::duration>(2 * backoff_, kFirstWait, kMostWait);
}

void PostgresStore::lose(const pg::Error& error)
{
    connection_.reset();
    if (!lostAt_) {
        lostAt_ = Steady::now();
        outbox_.notices.push_back({Notice::Level::Error, "lost " + shownAs_ + ": " + error.what()
                                      + "; reports wait in the queue while it is tried again"});
    }
    scheduleAttempt();
}

Room PostgresStore::makeRoom(std::uint64_t size, const ReportInfo&)
{
    if (maxUse_ == 0 || size <= maxUse_) {
        return {true, {}, 0, 0, {}};
    }
    return {false,
            crashreports::plural(size, "byte") + " can't fit the budget (max use " + std::to_string(maxUse_)
                + " bytes of reports in " + shownAs_ + ")",
            0, 0, {}};
}

StageResult PostgresStore::stage(std::span<const unsigned char> report, const ReportInfo& info)
{
    std::string id = reportId(info.received, info.sender, owner_, ++sequence_);
    return {PendingReport{report.size(), info, std::make_unique<Held>(std::move(id), report)}, {}};
}

StagingLimits PostgresStore::stagingLimits() const
{
    return {kMostGroupReports, kMostGroupBytes};
}

std::vector<CommitResult> PostgresStore::commit(std::vector<PendingReport>& group)
{
    std::vector<CommitResult> results(group.size());
    std::size_t done = 0;
    int conflicts = 0;
    while (done < group.size() && connection_) {
        try {
            done = writeFrom(group, done, results);
            backoff_ = {};
        } catch (const pg::Error& error) {
            std::fill(results.begin() + static_cast<std::ptrdiff_t>(done), results.end(), CommitResult{});
            if (error.transactionRetryable() && ++conflicts < kMostConflicts) {
                continue;
            }
            if (!error.dataError()) {
                lose(error);
                break;
            }
            for (auto result = results.begin() + static_cast<std::ptrdiff_t>(done); result != results.end(); ++result) {
                result->error = "can't store into " + shownAs_ + ": " + error.what();
            }
            done = group.size();
        }
    }
    for (std::size_t index = 0; index < group.size(); ++index) {
        if (index < done) {
            group[index].staging.reset();
        } else {
            results[index].retry = true;
        }
    }
    return results;
}

std::optional<DecisionRecord> PostgresStore::changedDecisions()
{
    if (!connection_) {
        return std::nullopt;
    }
    try {
        const std::int64_t stamp = pg::decisionsStamp(*connection_);
        if (decisionsStamp_ == stamp) {
            return std::nullopt;
        }
        DecisionRecord record = pg::readDecisions(*connection_);
        decisionsStamp_ = stamp;
        return record;
    } catch (const pg::Error& error) {
        lose(error);
        return std::nullopt;
    }
}

void PostgresStore::recordDecision(const Decision& decision)
{
    try {
        if (connection_) {
            pg::insertDecision(*connection_, decision);
            return;
        }
    } catch (const pg::Error& error) {
        lose(error);
    }
    outbox_.notices.push_back({Notice::Level::Error, "can't record in " + shownAs_ + " that group " + decision.group
                                                         + " regressed: the database can't be reached"});
}

}  // namespace store
