#pragma once

// A report store in a PostgreSQL database, which any number of collectors on
// any number of hosts share with no coordination but the database's own. A
// report is a row with its bytes, its metadata and its signature; groups and
// their senders are kept up to date in the same transaction (see
// docs/postgresql-schema.md). stage() keeps the bytes in memory under an id
// of this collector's own; commit() writes a whole group in one transaction,
// and a report is stored once that transaction has committed. A commit
// retried after a lost connection, whose transaction the server may have
// committed before the connection died, inserts each report at most once,
// as its id is already taken.
//
// The budget (--max-use) is the bytes of report data across all collectors.
// Room is made inside the commit transaction, under an advisory lock that
// every budgeted commit takes first, so that two collectors can't both find
// room for the same bytes: the oldest report of the group with the most
// bytes goes first, never a group's only report while another holds more
// than one, and the report being stored counts for its group. Where the
// group that must shrink holds only reports of this commit, those are
// committed first, as a directory store commits its group before it
// removes from it.
//
// When the database can't be reached, ready() says so and tries it again,
// with a growing wait; commit() then keeps what was staged, to be committed
// again once the database is back.

#include "store/ReportStore.h"
#include "store/StoreOptions.h"
#include "store/postgres/Postgres.h"

#include <map>
#include <optional>
#include <set>
#include <utility>

namespace store {

class PostgresStore final : public ReportStore {
public:
    // Reads the libpq URI that `store` is and tries to connect, making or
    // upgrading the tables; a database that can't be reached yet is a
    // notice, not a failure. Throws StartupError naming the URI (without
    // its password) if libpq can't read it.
    PostgresStore(const StoreName& store, const StoreOptions& options);

    std::string location() const override { return shownAs_; }
    std::string locationOf(const std::string& name) const override { return shownAs_ + "#" + name; }
    std::uint64_t count() const override { return count_; }

    bool ready() override;
    void prepareBatch() override {}
    // Refuses only a report larger than the whole budget: room is made as
    // the report is committed.
    Room makeRoom(std::uint64_t size, const ReportInfo& info) override;
    StageResult stage(std::span<const unsigned char> report, const ReportInfo& info) override;
    StagingLimits stagingLimits() const override;
    std::vector<CommitResult> commit(std::vector<PendingReport>& group) override;
    // A report is recorded as it is committed: none waits.
    Outbox drainOutbox(Settle) override { return std::exchange(outbox_, {}); }

    std::uint64_t maxUse() const { return maxUse_; }
    // The budget alone: the rest would cost the database a query.
    StoreFigures figures() override { return {std::nullopt, std::nullopt, maxUse_ == 0 ? std::nullopt : std::optional(maxUse_)}; }
    // While idle: removes reports past --max-age, but each group's newest
    // (PostgresWriting.cpp).
    bool catchUp(std::chrono::milliseconds slice) override;
    // Read again when a decision was added (PostgresStore.cpp).
    std::optional<DecisionRecord> changedDecisions() override;
    void recordDecision(const Decision& decision) override;
    void weighMergedGroups(std::map<std::string, std::string> targets) override { targets_ = std::move(targets); }

private:
    using Steady = std::chrono::steady_clock;

    // What stays staged until the commit: the report's bytes, and the id
    // that every try to commit it gives it.
    struct Held final : Staging {
        std::string id;
        std::vector<unsigned char> bytes;
        Held(std::string reportId, std::span<const unsigned char> report)
            : id(std::move(reportId)), bytes(report.begin(), report.end())
        {
        }
    };
    static const Held& heldOf(const PendingReport& report) { return static_cast<const Held&>(*report.staging); }

    // What one commit transaction knows of the groups it writes to, whose
    // rows it holds locked.
    struct GroupState {
        bool known = false;  // there was a row before this transaction
        std::uint64_t count = 0;
        Clock::time_point lastSeen;
    };
    struct Writing {
        std::map<std::string, GroupState> groups;
        std::set<std::string> inserted;  // ids this transaction added
        std::vector<GroupNews> news;     // of its reports, once it commits
        std::uint64_t storedBytes = 0;   // of every report, for the budget
        std::uint64_t added = 0;
        std::uint64_t removed = 0;
    };
    enum class Fit { Fits, CommitFirst, TooLarge };

    bool connect();
    void lose(const pg::Error& error);
    void scheduleAttempt();

    // The transaction (PostgresWriting.cpp): commits reports from `from` on
    // in one transaction; where it stopped (the next report to commit).
    std::size_t writeFrom(std::vector<PendingReport>& group, std::size_t from, std::vector<CommitResult>& results);
    void lockGroups(const std::vector<PendingReport>& group, std::size_t from, Writing& writing);
    void insert(const std::vector<PendingReport>& group, std::size_t from, std::size_t to, Writing& writing,
                std::vector<CommitResult>& results);
    void tellEvents(const std::vector<PendingReport>& group, std::size_t from, std::size_t to,
                    Writing& writing) const;
    Fit makeRoomFor(const PendingReport& report, Writing& writing, CommitResult& result);
    std::uint64_t storedBytes();
    // Removes up to a batch of reports past the age; how many.
    std::uint64_t removeAged(TimePoint before);

    std::string uri_;
    std::string shownAs_;  // the URI without its password
    StoreOptions options_;
    std::uint64_t maxUse_;  // 0: no limit
    std::string owner_;     // in this collector's report ids
    std::uint64_t sequence_ = 0;
    std::optional<pg::Connection> connection_;
    std::uint64_t count_ = 0;
    // Connecting again: when, how long the wait grows to, and since when the
    // database has been lost.
    Steady::time_point nextAttempt_{};
    Steady::duration backoff_{};
    std::optional<Steady::time_point> lostAt_;
    Outbox outbox_;
    std::optional<std::int64_t> decisionsStamp_;  // of the decisions last read
    Steady::time_point nextAgeCheck_{};
    std::map<std::string, std::string> targets_;  // of merged groups, see weighMergedGroups()
    bool starting_ = false;  // in the constructor: a database that can't serve fails the start
};

}  // namespace store
