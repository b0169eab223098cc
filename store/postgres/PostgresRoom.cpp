// The PostgreSQL store's room: what goes to make room for a report inside
// the commit transaction, as a directory store's budget chooses it, and what
// goes for --max-age while the collector is idle. See PostgresStore.h.

#include "common/Plural.h"
#include "common/TimeText.h"
#include "store/postgres/PostgresSchema.h"
#include "store/postgres/PostgresStore.h"

#include <algorithm>

namespace store {

namespace {

// The report that goes to make room, as a directory store's budget chooses
// it (see DiskBudget.h); the report to be stored ($2 bytes of group $1,
// from sender $3) counts for its group and its sender. While some group
// holds more than one report: the oldest report (by time, then the order
// rows came in) of the group with the most bytes (then the smaller id),
// from the sender that sent it the most.
constexpr const char* kChooseFromGroups = R"(
    SELECT r.id, r.grp, r.address, r.bytes
    FROM (SELECT grp FROM groups WHERE count > 0 AND count + (grp = $1)::int > 1
          ORDER BY bytes + CASE WHEN grp = $1 THEN $2 ELSE 0 END DESC, grp LIMIT 1) AS largest
    CROSS JOIN LATERAL (SELECT address FROM group_senders AS s WHERE s.grp = largest.grp
                        ORDER BY count DESC, address LIMIT 1) AS heaviest
    CROSS JOIN LATERAL (SELECT id, grp, address, bytes FROM reports
                        WHERE reports.grp = largest.grp AND reports.address = heaviest.address
                        ORDER BY received, seq LIMIT 1) AS r)";

// The same where groups are merged into others ($4, each counting in the
// target $5 at the same place): a target weighs with its merged groups, and
// its oldest report, from the heaviest sender of them all, may be any of
// theirs. The largest groups and those merged are weighed; no others.
constexpr const char* kChooseFromMergedGroups = R"(
    WITH merge (grp, target) AS (SELECT * FROM unnest($4::text[], $5::text[])),
    incoming AS (SELECT coalesce((SELECT target FROM merge WHERE grp = $1), $1) AS target),
    weighed AS (
        SELECT coalesce(m.target, g.grp) AS target, sum(g.count) AS count, sum(g.bytes) AS bytes
        FROM groups AS g LEFT JOIN merge AS m USING (grp)
        WHERE g.count > 0 AND (g.grp IN (SELECT grp FROM merge UNION SELECT target FROM merge UNION SELECT $1)
                               OR g.grp IN (SELECT grp FROM groups WHERE count > 1 ORDER BY bytes DESC LIMIT 16))
        GROUP BY 1),
    largest AS (
        SELECT w.target FROM weighed AS w, incoming AS i WHERE w.count + (w.target = i.target)::int > 1
        ORDER BY w.bytes + CASE WHEN w.target = i.target THEN $2 ELSE 0 END DESC, w.target LIMIT 1),
    members AS (SELECT target AS grp FROM largest UNION SELECT m.grp FROM merge AS m JOIN largest AS l USING (target)),
    heaviest AS (
        SELECT address FROM group_senders WHERE grp IN (SELECT grp FROM members)
        GROUP BY address ORDER BY sum(count) DESC, address LIMIT 1)
    SELECT r.id, r.grp, r.address, r.bytes FROM reports AS r, heaviest AS h
    WHERE r.grp IN (SELECT grp FROM members) AND r.address = h.address
    ORDER BY r.received, r.seq LIMIT 1)";

// Once every group holds one: the oldest report of the sender that holds
// the most reports (between equals the incoming report's, then the most
// bytes, then the smaller address).
constexpr const char* kChooseFromSenders = R"(
    SELECT r.id, r.grp, r.address, r.bytes
    FROM (SELECT address FROM senders WHERE count > 0
          ORDER BY count + (address = $3)::int DESC, address = $3 DESC,
                   bytes + CASE WHEN address = $3 THEN $2 ELSE 0 END DESC, address
          LIMIT 1) AS heaviest
    CROSS JOIN LATERAL (SELECT id, grp, address, bytes FROM reports WHERE reports.address = heaviest.address
                        ORDER BY received, seq LIMIT 1) AS r)";

// Removes a report and takes it out of its group's and sender's counts.
constexpr const char* kForget = R"(
    WITH gone AS (DELETE FROM reports WHERE id = $1 RETURNING grp, address, bytes),
    fewer AS (UPDATE group_senders AS s SET count = s.count - 1 FROM gone
              WHERE s.grp = gone.grp AND s.address = gone.address AND s.count > 1),
    last AS (DELETE FROM group_senders AS s USING gone
             WHERE s.grp = gone.grp AND s.address = gone.address AND s.count <= 1 RETURNING 1),
    sender_fewer AS (UPDATE senders AS s SET count = s.count - 1, bytes = s.bytes - gone.bytes FROM gone
                     WHERE s.address = gone.address AND s.count > 1),
    sender_last AS (DELETE FROM senders AS s USING gone WHERE s.address = gone.address AND s.count <= 1)
    UPDATE groups AS g SET count = g.count - 1, bytes = g.bytes - gone.bytes,
                           hosts = g.hosts - (SELECT count(*) FROM last)
    FROM gone WHERE g.grp = gone.grp)";

// A group that has no report left goes; while it is being written to, it
// stays, empty, for its new reports.
constexpr const char* kDropIfEmpty = "DELETE FROM groups WHERE grp = $1 AND count <= 0";

// A group that still has reports takes its times, title and signature from
// those left.
constexpr const char* kRefreshGroup = R"(
    UPDATE groups SET
        first_seen = (SELECT min(received) FROM reports WHERE grp = $1),
        (last_seen, newest, title, signature) = (
            SELECT received, id, title, signature FROM reports WHERE grp = $1
            ORDER BY received DESC, id DESC LIMIT 1)
    WHERE grp = $1 AND count > 0)";

// Reports past the age, oldest first, but each group's newest; with their
// groups locked in one order, as commits lock them.
constexpr const char* kAged = R"(
    SELECT id, grp FROM reports AS r
    WHERE received < $1 AND id <> (SELECT newest FROM groups AS g WHERE g.grp = r.grp)
    ORDER BY received, seq LIMIT 1024)";
constexpr const char* kLockAgedGroups = "SELECT grp FROM groups WHERE grp = ANY($1) ORDER BY grp FOR UPDATE";

}  // namespace

bool PostgresStore::catchUp(std::chrono::milliseconds)
{
    const auto now = Steady::now();
    if (!options_.maxAge || !connection_ || now < nextAgeCheck_) {
        return false;
    }
    nextAgeCheck_ = now + ageCheckEvery(*options_.maxAge);
    const auto before = Clock::now() - *options_.maxAge;
    std::uint64_t removed = 0;
    try {
        for (std::uint64_t batch = removeAged(before); batch != 0; batch = removeAged(before)) {
            removed += batch;
        }
    } catch (const pg::Error& error) {
        lose(error);
    }
    outbox_.removedReports += removed;
    if (removed != 0) {
        outbox_.notices.push_back({Notice::Level::Info, "removed " + crashreports::plural(removed, "report") + " of "
                                                            + shownAs_ + " older than "
                                                            + crashreports::describeSpan(*options_.maxAge)
                                                            + "; each group keeps its newest"});
    }
    return false;
}

std::uint64_t PostgresStore::removeAged(TimePoint before)
{
    pg::Transaction transaction(*connection_);
    const pg::Result aged = connection_->execute(kAged, pg::Params().time(before));
    std::set<std::string> groups;
    for (int row = 0; row < aged.rows(); ++row) {
        groups.insert(aged.text(row, 1));
    }
    connection_->execute(kLockAgedGroups, pg::Params().texts(std::vector<std::string>(groups.begin(), groups.end())));
    for (int row = 0; row < aged.rows(); ++row) {
        connection_->execute(kForget, pg::Params().text(aged.text(row, 0)));
    }
    for (const std::string& group : groups) {
        connection_->execute(kRefreshGroup, pg::Params().text(group));
    }
    transaction.commit();
    count_ -= std::min<std::uint64_t>(count_, static_cast<std::uint64_t>(aged.rows()));
    return static_cast<std::uint64_t>(aged.rows());
}

PostgresStore::Fit PostgresStore::makeRoomFor(const PendingReport& report, Writing& writing, CommitResult& result)
{
    std::vector<std::string> members;
    std::vector<std::string> targets;
    for (const auto& [member, target] : targets_) {
        members.push_back(member);
        targets.push_back(target);
    }
    const auto choose = [&](const char* statement) {
        pg::Params params;
        params.text(report.info.signature.id).integer(static_cast<std::int64_t>(report.size));
        params.text(report.info.sender.addressText());
        if (statement == kChooseFromMergedGroups) {
            params.texts(members).texts(targets);
        }
        return connection_->execute(statement, params);
    };
    while (writing.storedBytes + report.size > maxUse_) {
        pg::Result victim = choose(targets_.empty() ? kChooseFromGroups : kChooseFromMergedGroups);
        if (victim.rows() == 0) {
            victim = choose(kChooseFromSenders);
        }
        if (victim.rows() == 0) {
            return Fit::TooLarge;
        }
        const std::string id = victim.text(0, 0);
        if (writing.inserted.contains(id)) {
            return Fit::CommitFirst;
        }
        const std::string victimGroup = victim.text(0, 1);
        const auto bytes = static_cast<std::uint64_t>(victim.integer(0, 3));
        connection_->execute(kForget, pg::Params().text(id));
        if (!writing.groups.contains(victimGroup)) {
            connection_->execute(kDropIfEmpty, pg::Params().text(victimGroup));
        }
        connection_->execute(kRefreshGroup, pg::Params().text(victimGroup));
        writing.storedBytes -= std::min(writing.storedBytes, bytes);
        ++writing.removed;
        ++result.removedReports;
        result.removedBytes += bytes;
        if (const auto state = writing.groups.find(victimGroup); state != writing.groups.end()) {
            state->second.count -= std::min<std::uint64_t>(state->second.count, 1);
        }
    }
    return Fit::Fits;
}

}  // namespace store
