#include "store/Decisions.h"

#include <apt-pkg/debversion.h>

#include <algorithm>
#include <array>
#include <utility>

namespace store {

namespace {

constexpr std::array<std::pair<DecisionKind, std::string_view>, 6> kKindNames{{
    {DecisionKind::fix, "fix"},
    {DecisionKind::ignore, "ignore"},
    {DecisionKind::reopen, "reopen"},
    {DecisionKind::merge, "merge"},
    {DecisionKind::unmerge, "unmerge"},
    {DecisionKind::regressed, "regressed"},
}};

constexpr std::array<std::pair<GroupState, std::string_view>, 4> kStateNames{{
    {GroupState::open, "open"},
    {GroupState::fixed, "fixed"},
    {GroupState::regressed, "regressed"},
    {GroupState::ignored, "ignored"},
}};

template <typename Value, std::size_t Size>
std::string_view nameIn(const std::array<std::pair<Value, std::string_view>, Size>& names, Value value)
{
    const auto* found = std::ranges::find(names, value, &std::pair<Value, std::string_view>::first);
    return found == names.end() ? std::string_view() : found->second;
}

template <typename Value, std::size_t Size>
std::optional<Value> valueIn(const std::array<std::pair<Value, std::string_view>, Size>& names, std::string_view name)
{
    const auto* found = std::ranges::find(names, name, &std::pair<Value, std::string_view>::second);
    return found == names.end() ? std::nullopt : std::optional(found->first);
}

// Chains of merges longer than this are cut: a loop can't hang a reader.
constexpr int kMostMergeSteps = 64;

}  // namespace

std::string_view nameOf(DecisionKind kind) { return nameIn(kKindNames, kind); }
std::optional<DecisionKind> decisionKindNamed(std::string_view name) { return valueIn(kKindNames, name); }
std::string_view nameOf(GroupState state) { return nameIn(kStateNames, state); }
std::optional<GroupState> groupStateNamed(std::string_view name) { return valueIn(kStateNames, name); }

std::vector<std::string> reportsNamedBy(std::span<const Decision> decisions)
{
    std::set<std::string> reports;
    for (const Decision& decision : decisions) {
        reports.insert(decision.reports.begin(), decision.reports.end());
    }
    return {reports.begin(), reports.end()};
}

DecisionBook::DecisionBook(const DecisionRecord& record)
{
    for (const Decision& decision : record.decisions) {
        apply(decision, groupsOf(decision, record));
    }
    decisions_ = record.decisions.size();
    for (const auto& [group, into] : mergedInto_) {
        if (const std::string& target = targetOf(group); target != group) {
            members_[target].push_back(group);
        }
    }
    for (auto& [target, members] : members_) {
        std::ranges::sort(members);
    }
}

std::map<std::string, std::string> DecisionBook::targets() const
{
    std::map<std::string, std::string> targets;
    for (const auto& [target, members] : members_) {
        for (const std::string& member : members) {
            targets.emplace(member, target);
        }
    }
    return targets;
}

std::set<std::string> DecisionBook::groupsOf(const Decision& decision, const DecisionRecord& record) const
{
    std::set<std::string> groups{decision.group};
    for (const std::string& report : decision.reports) {
        if (const auto found = record.groupOfReport.find(report); found != record.groupOfReport.end()) {
            groups.insert(found->second);
        }
    }
    return groups;
}

void DecisionBook::apply(const Decision& decision, const std::set<std::string>& groups)
{
    for (const std::string& group : groups) {
        Standing& standing = standings_[group];
        switch (decision.kind) {
        case DecisionKind::fix:
            standing = {GroupState::fixed, decision, decision.at, decision.version, std::nullopt};
            break;
        case DecisionKind::ignore: standing = {GroupState::ignored, decision, std::nullopt, {}, std::nullopt}; break;
        case DecisionKind::reopen: standing = {GroupState::open, decision, std::nullopt, {}, std::nullopt}; break;
        case DecisionKind::regressed:
            if (standing.state == GroupState::fixed) {
                standing.state = GroupState::regressed;
                standing.regression = decision;
            }
            break;
        case DecisionKind::merge:
            if (group != decision.into) {
                mergedInto_[group] = decision.into;
            }
            break;
        case DecisionKind::unmerge: mergedInto_.erase(group); break;
        }
    }
}

const std::string& DecisionBook::targetOf(const std::string& group) const
{
    const std::string* target = &group;
    for (int step = 0; step < kMostMergeSteps; ++step) {
        const auto found = mergedInto_.find(*target);
        if (found == mergedInto_.end() || found->second == group) {
            break;
        }
        target = &found->second;
    }
    return *target;
}

std::vector<std::string> DecisionBook::mergedInto(const std::string& target) const
{
    const auto found = members_.find(target);
    return found == members_.end() ? std::vector<std::string>{} : found->second;
}

Standing DecisionBook::standing(const std::string& group, TimePoint now) const
{
    const auto found = standings_.find(group);
    if (found == standings_.end()) {
        return {};
    }
    Standing standing = found->second;
    if (standing.state == GroupState::ignored && standing.decided->until && *standing.decided->until <= now) {
        standing.state = GroupState::open;
    }
    return standing;
}

bool DecisionBook::regresses(const std::string& group, std::string_view version, TimePoint received) const
{
    const auto found = standings_.find(group);
    if (found == standings_.end() || found->second.state != GroupState::fixed) {
        return false;
    }
    const Standing& standing = found->second;
    if (received <= *standing.fixedAt) {
        return false;
    }
    return standing.fixedIn.empty() || (!version.empty() && compareVersions(version, standing.fixedIn) >= 0);
}

int compareVersions(std::string_view a, std::string_view b)
{
    // libapt-pkg's own comparison, which is dpkg's.
    return debVS.DoCmpVersion(a.data(), a.data() + a.size(), b.data(), b.data() + b.size());
}

bool isVersion(std::string_view version)
{
    const auto allowed = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '+'
            || c == '~' || c == '-' || c == ':' || c == '_';
    };
    return !version.empty() && version.size() <= 256 && std::ranges::all_of(version, allowed);
}

}  // namespace store
