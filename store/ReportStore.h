#pragma once

// What a report store is. The collector hands it each valid report in two
// steps: stage() puts the bytes where they wait, and commit() makes a whole
// group of staged reports durable together, sharing the cost of its syncs.
// A report is stored only once commit() says so, and may be announced once
// it is recorded, too (see recording()). Before staging, makeRoom() keeps
// the store within its budget. A directory of files is one kind of store, a
// PostgreSQL database another.

#include "common/Endpoint.h"
#include "signature/Signature.h"

#include <chrono>
#include <cstdint>
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

// Something a store found before a batch, for a line.
struct Notice {
    bool failure = false;  // a failure, rather than a warning
    std::string line;
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
    // as often as its own growing wait allows, and tells what it finds
    // through takeNotices(). A directory is always ready.
    virtual bool ready() { return true; }
    // Checks what may have changed since the last batch; what it found.
    virtual std::vector<Notice> prepareBatch() = 0;
    // Makes room for a report of `size` bytes, removing old reports as the
    // budget says. If the report can't fit even so, nothing changes.
    virtual Room makeRoom(std::uint64_t size, const ReportInfo& info) = 0;
    // Stages a report; it counts against the budget until it is committed.
    virtual StageResult stage(std::span<const unsigned char> report, const ReportInfo& info) = 0;
    // The most reports and bytes that may be staged before a commit.
    virtual std::size_t mostStagedReports() const = 0;
    virtual std::uint64_t mostStagedBytes() const = 0;
    // Stores the reports of `group`: one result each, in order. What they
    // staged is let go, whatever the result, but for a result to retry.
    virtual std::vector<CommitResult> commit(std::vector<PendingReport>& group) = 0;
    // What went wrong lately that did not fail a report (the index could not
    // be updated, say), for lines.
    virtual std::vector<Notice> takeNotices() = 0;
    // How many of the reports stored last, in the order commit() stored
    // them, are still being recorded (in an index, with their groups); the
    // others may be announced. The directory store records each commit's
    // reports on a thread while the next ones are stored; others record them
    // as they commit.
    virtual std::size_t recording() { return 0; }
    // The news of groups that recorded reports made, in the order they were
    // stored.
    virtual std::vector<GroupNews> takeGroupNews() = 0;
    // Does some of the work left for idle times (bringing the index up to
    // date with the reports, say) for about `slice`; whether it did any:
    // call again until it did none.
    virtual bool catchUp(std::chrono::milliseconds slice) = 0;
    // Finishes what storing left for later (recording the last reports,
    // say), so that they may be announced and their news and notices taken
    // before the store closes.
    virtual void settle() {}
};

}  // namespace store
