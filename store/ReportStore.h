#pragma once

// What a report store is. The collector hands it each valid report in two
// steps: stage() puts the bytes where they wait, and commit() makes a whole
// group of staged reports durable together, sharing the cost of its syncs.
// A report is stored only once commit() says so, and may be announced once
// it is recorded, too. Before staging, makeRoom() keeps the store within its
// budget. What the store has to say besides (which stored reports are
// recorded, notices, the news of groups) waits in its outbox, which the
// storing loop drains in one place. A directory of files is one kind of
// store, a PostgreSQL database another.

#include "common/Endpoint.h"
#include "signature/Signature.h"
#include "store/Decisions.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace store {

using crashreports::Endpoint;
using Clock = std::chrono::system_clock;

// What a store holds of a staged report until it is committed.
class Staging {
public:
    virtual ~Staging() = default;
};

// What the collector knows of a report besides its bytes: where and when it
// came from, and what it is about.
struct ReportInfo {
    Endpoint sender;
    Clock::time_point received;
    triage::Signature signature;
};

// A report staged and not yet stored.
struct PendingReport {
    std::uint64_t size = 0;
    ReportInfo info;
    std::unique_ptr<Staging> staging;
};

// What storing a report meant for its group: the first report of a crash
// that the store holds no report of, or the first after a quiet time.
enum class GroupEvent { None, New, Regressed };

// The news of one stored report's group.
struct GroupNews {
    GroupEvent event = GroupEvent::None;
    std::string group;
    std::string title;
    std::string report;
    std::string sender;  // "ADDRESS:PORT"
};

struct StageResult {
    std::optional<PendingReport> pending;
    std::string error;  // why not, otherwise
    // The process had no file descriptor left: committing the reports
    // staged so far frees theirs.
    bool outOfDescriptors = false;
};

struct CommitResult {
    std::string name;   // the report's name in the store, if it was given one
    std::string error;  // empty once the report is stored
    // Neither stored nor failed: the store can't be reached now. What the
    // report staged is kept, to be committed again once the store is ready().
    bool retry = false;
    // Old reports removed to make room for this one, by a store that makes
    // room as it commits rather than in makeRoom().
    std::uint64_t removedReports = 0;
    std::uint64_t removedBytes = 0;
    bool stored() const { return error.empty() && !retry; }
};

struct Room {
    bool fits = false;
    std::string refusal;               // why not, if it does not fit
    std::uint64_t removedReports = 0;  // to make room
    std::uint64_t removedBytes = 0;
    std::vector<std::string> errors;  // reports that could not be removed
};

// Something a store found, for a line.
struct Notice {
    enum class Level { Info, Warning, Error };
    Level level = Level::Info;
    std::string line;
    bool failure() const { return level == Level::Error; }
};

// What a store has for the storing loop since it was last drained.
struct Outbox {
    // How many of the reports stored last, the newest in the order commit()
    // stored them, are still being recorded (in an index, with their
    // groups); the others may be announced.
    std::size_t unrecorded = 0;
    std::vector<Notice> notices;
    // The news of groups that recorded reports made, in the order they
    // were stored.
    std::vector<GroupNews> news;
    // Reports removed while idle (past --max-age, or over the budget that
    // other collectors' reports filled).
    std::uint64_t removedReports = 0;
};

// What a store holds, for the collector's metrics: what it can tell without
// much work, the rest left out.
struct StoreFigures {
    std::optional<std::uint64_t> groups;
    std::optional<std::uint64_t> bytes;   // of the stored reports, as the budget counts them
    std::optional<std::uint64_t> budget;  // the most they may take (--max-use); nothing: no limit
};

// Whether draining the outbox waits until every stored report is recorded.
enum class Settle { No, Yes };

// How much may be staged before a commit.
struct StagingLimits {
    std::size_t reports = 1;
    std::uint64_t bytes = 0;
};

class ReportStore {
public:
    virtual ~ReportStore() = default;

    // Where the reports go, and where the stored report `name` is, for lines.
    virtual std::string location() const = 0;
    virtual std::string locationOf(const std::string& name) const = 0;
    // The reports it holds.
    virtual std::uint64_t count() const = 0;

    // Whether the store can take reports now. One that lost its way to where
    // reports go (a database that can't be reached) looks for it again here,
    // as often as its own growing wait allows, and tells what it finds in
    // its outbox. A directory is always ready.
    virtual bool ready() { return true; }
    // Checks what may have changed since the last batch (a directory that
    // was replaced), and measures what is stored and free.
    virtual void prepareBatch() = 0;
    // Makes room for a report of `size` bytes, removing old reports as the
    // budget says. If the report can't fit even so, nothing changes.
    virtual Room makeRoom(std::uint64_t size, const ReportInfo& info) = 0;
    // Stages a report; it counts against the budget until it is committed.
    virtual StageResult stage(std::span<const unsigned char> report, const ReportInfo& info) = 0;
    // The most reports and bytes that may be staged before a commit, as of
    // the last prepareBatch().
    virtual StagingLimits stagingLimits() const = 0;
    // Stores the reports of `group`: one result each, in order. What they
    // staged is let go, whatever the result, but for a result to retry.
    virtual std::vector<CommitResult> commit(std::vector<PendingReport>& group) = 0;
    // What the store has for the storing loop. With Settle::Yes it first
    // finishes what storing left for later (recording the last reports), so
    // that every stored report may be announced.
    virtual Outbox drainOutbox(Settle settle = Settle::No) = 0;
    // Does some of the work left for idle times (bringing the index up to
    // date with the reports, say) for about `slice`; whether it did any:
    // call again until it did none.
    virtual bool catchUp(std::chrono::milliseconds) { return false; }
    // What it holds, for metrics; nothing by default.
    virtual StoreFigures figures() { return {}; }
    // The decisions taken on its groups, read again if they changed since
    // the last call; nothing while they did not (or can't be read: a notice
    // says so). Costs a look at the file or a query: call it once a second
    // at most.
    virtual std::optional<DecisionRecord> changedDecisions() { return std::nullopt; }
    // Records a decision the collector takes itself: a fixed group that a
    // report brought back. A failure is a notice.
    virtual void recordDecision(const Decision&) {}
    // The groups merged into others, each with the target it counts in:
    // the budget weighs a target with its merged groups.
    virtual void weighMergedGroups(std::map<std::string, std::string>) {}
};

}  // namespace store
