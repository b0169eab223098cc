#pragma once

// What people decided about crash groups: fixed (in a version, maybe),
// ignored (for a while, maybe), open again, merged into another group or
// given back. Decisions are the one thing a store keeps that its reports
// can't give back, so each store keeps them apart from what it derives (a
// directory: a log file of its own; a database: a table), in the order they
// were taken. A decision names the group it was taken on and a few of that
// group's reports: where reports are signed again and a group splits or is
// renamed, the decision follows those reports into the groups they belong
// to now. A DecisionBook folds them into where each group stands.

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace store {

using TimePoint = std::chrono::system_clock::time_point;

enum class DecisionKind { fix, ignore, reopen, merge, unmerge, regressed };
enum class GroupState { open, fixed, regressed, ignored };

// "fix", "open", ...: the words of the command line, the files and JSON.
std::string_view nameOf(DecisionKind kind);
std::optional<DecisionKind> decisionKindNamed(std::string_view name);
std::string_view nameOf(GroupState state);
std::optional<GroupState> groupStateNamed(std::string_view name);

// Reports of a group that a decision records, the newest first: enough
// that where a new signature splits the group, each part has one.
inline constexpr std::size_t kDecisionReports = 3;

struct Decision {
    DecisionKind kind = DecisionKind::fix;
    std::string group;
    std::string into;                // merge: the group it is merged into
    std::string version;             // fix: fixed in; regressed: the report's
    std::optional<TimePoint> until;  // ignore: when it ends by itself
    TimePoint at;
    std::string by;  // a user name
    std::string note;
    // A few reports of the group when it was taken; regressed: the report.
    std::vector<std::string> reports;
    friend bool operator==(const Decision&, const Decision&) = default;
};

// The decisions of a store in the order they were taken, and the group each
// of their reports is in now (reports that are gone are not there).
struct DecisionRecord {
    std::vector<Decision> decisions;
    std::map<std::string, std::string> groupOfReport;
};

// Every report that `decisions` name, once each.
std::vector<std::string> reportsNamedBy(std::span<const Decision> decisions);

// Where a group stands, and the decision that put it there.
struct Standing {
    GroupState state = GroupState::open;
    std::optional<Decision> decided;     // none for a group nobody decided on
    std::optional<TimePoint> fixedAt;    // fixed or regressed: when it was fixed
    std::string fixedIn;                 // the version given to fix, if any
    std::optional<Decision> regression;  // regressed: the report that did it
};

class DecisionBook {
public:
    DecisionBook() = default;
    explicit DecisionBook(const DecisionRecord& record);

    // The group whose reports `group`'s count in: the one it is merged
    // into (and that one's, in turn), else itself.
    const std::string& targetOf(const std::string& group) const;
    // The groups merged into `target`, directly or through others.
    std::vector<std::string> mergedInto(const std::string& target) const;
    // Every group merged into another, with the target it counts in.
    std::map<std::string, std::string> targets() const;
    // Where `group` stands at `now`: an ignore past its span is over.
    Standing standing(const std::string& group, TimePoint now) const;
    // Whether a report of the fixed group `group` (a target) received at
    // `received` of `version` (empty: it names none) brings it back: one
    // received after the fix, of the version fixed in or a later one where
    // one was given.
    bool regresses(const std::string& group, std::string_view version, TimePoint received) const;
    std::size_t size() const { return decisions_; }

private:
    // The groups that `decision` is about now: its own and those of its
    // reports.
    std::set<std::string> groupsOf(const Decision& decision, const DecisionRecord& record) const;
    void apply(const Decision& decision, const std::set<std::string>& groups);

    std::unordered_map<std::string, Standing> standings_;
    std::unordered_map<std::string, std::string> mergedInto_;
    // Of each target, the groups merged into it, sorted.
    std::unordered_map<std::string, std::vector<std::string>> members_;
    std::size_t decisions_ = 0;
};

// Debian's order of versions (epoch, upstream, revision; "~" before
// anything): <0, 0 or >0 as `a` comes before, with or after `b`.
int compareVersions(std::string_view a, std::string_view b);
// Whether `version` is a Debian version that compareVersions() orders.
bool isVersion(std::string_view version);

}  // namespace store
