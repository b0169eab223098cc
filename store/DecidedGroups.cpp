#include "store/DecidedGroups.h"

#include <algorithm>
#include <map>

namespace store {

namespace {

ReportFilter ofGroup(const GroupSummary& group, std::optional<TimePoint> since)
{
    ReportFilter filter;
    filter.since = since;
    filter.group = group.group;
    return filter;
}

// Counts the reports of `merged` in `target`: the newest report's title,
// signature and id where it is newer, and its first and last versions
// where they come before or after the target's.
void countIn(GroupSummary& target, const GroupSummary& merged)
{
    target.count += merged.count;
    if (merged.firstSeen < target.firstSeen) {
        target.firstSeen = merged.firstSeen;
        target.firstVersion = merged.firstVersion.empty() ? target.firstVersion : merged.firstVersion;
    }
    if (merged.lastSeen > target.lastSeen) {
        target.lastSeen = merged.lastSeen;
        target.newest = merged.newest;
        target.lastVersion = merged.lastVersion.empty() ? target.lastVersion : merged.lastVersion;
    }
}

bool holds(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The groups of `groups` counted in their targets, latest activity first;
// a target's hosts are still its own.
std::vector<DecidedGroup> foldMerged(const DecisionBook& book, std::vector<GroupSummary> groups)
{
    std::map<std::string, std::size_t> indexOf;
    for (std::size_t index = 0; index < groups.size(); ++index) {
        indexOf.emplace(groups[index].group, index);
    }
    std::vector<DecidedGroup> decided;
    std::map<std::string, std::size_t> decidedIndex;
    std::vector<std::pair<std::size_t, std::size_t>> folded;  // (merged, target) of `groups`
    for (std::size_t index = 0; index < groups.size(); ++index) {
        const std::string& target = book.targetOf(groups[index].group);
        if (target != groups[index].group && indexOf.contains(target)) {
            folded.emplace_back(index, indexOf.at(target));
            continue;
        }
        decidedIndex.emplace(groups[index].group, decided.size());
        decided.push_back({groups[index], {}, Mark::none, book.mergedInto(groups[index].group)});
    }
    for (const auto& [merged, target] : folded) {
        countIn(decided[decidedIndex.at(groups[target].group)].group, groups[merged]);
    }
    std::ranges::sort(decided, [](const DecidedGroup& a, const DecidedGroup& b) {
        return a.group.lastSeen != b.group.lastSeen ? a.group.lastSeen > b.group.lastSeen : a.group.group < b.group.group;
    });
    return decided;
}

// Counts the hosts of the groups merged into `group` in it. Hosts of
// reports of any time are the groups' senders; of some, an estimate would
// mislead less than the sum of their counts, so the target's own stay.
void countMergedHosts(Catalog& catalog, DecidedGroup& group, bool allTime)
{
    if (!group.merged.empty() && allTime) {
        std::vector<std::string> all = group.merged;
        all.push_back(group.group.group);
        group.group.hosts = catalog.hostsOf(all);
    }
}

// Whether a report brought the fixed group back within the last day: its
// mark, as the collector told it.
bool cameBack(const Standing& standing, TimePoint now)
{
    return standing.state == GroupState::regressed && standing.regression && standing.regression->at >= now - kRecent;
}

bool wanted(const DecidedGroup& group, const GroupQuery& query)
{
    const GroupState state = group.standing.state;
    return query.state ? state == *query.state : query.all || state != GroupState::ignored;
}

}  // namespace

std::string_view nameOf(Mark mark)
{
    return mark == Mark::fresh ? "new" : mark == Mark::regressed ? "regressed" : "";
}

Mark markOf(Catalog& catalog, const GroupSummary& group, TimePoint now, std::chrono::seconds regressedAfter)
{
    const auto recent = now - kRecent;
    const auto quietSince = recent - regressedAfter;
    if (group.firstSeen >= recent) {
        return Mark::fresh;
    }
    if (group.lastSeen < recent || group.firstSeen >= quietSince) {
        return Mark::none;
    }
    const auto sinceQuiet = catalog.countReports(ofGroup(group, quietSince));
    const auto sinceRecent = catalog.countReports(ofGroup(group, recent));
    return sinceQuiet == sinceRecent ? Mark::regressed : Mark::none;
}

std::vector<DecidedGroup> decideGroups(Catalog& catalog, const DecisionBook& book, const GroupQuery& query,
                                       TimePoint now, std::chrono::seconds regressedAfter)
{
    ReportFilter filter = query.filter;
    filter.group.reset();
    filter.limit.reset();
    const bool allTime = !filter.since && !filter.byFacts();
    std::vector<DecidedGroup> decided = foldMerged(book, catalog.groups(filter));
    const std::set<std::string> mentioning = query.text ? catalog.groupsMentioning(*query.text) : std::set<std::string>{};
    std::vector<DecidedGroup> chosen;
    for (DecidedGroup& group : decided) {
        group.standing = book.standing(group.group.group, now);
        if (!wanted(group, query)) {
            continue;
        }
        if (query.text && !holds(group.group.title, *query.text) && !holds(group.group.signature, *query.text)
            && !mentioning.contains(group.group.group)
            && std::ranges::none_of(group.merged, [&](const auto& id) { return mentioning.contains(id); })) {
            continue;
        }
        group.mark = markOf(catalog, group.group, now, regressedAfter);
        if (cameBack(group.standing, now) && group.mark == Mark::none) {
            group.mark = Mark::regressed;
        }
        countMergedHosts(catalog, group, allTime);
        chosen.push_back(std::move(group));
    }
    return chosen;
}

std::optional<DecidedGroup> decideGroup(Catalog& catalog, const DecisionBook& book, const std::string& group,
                                        TimePoint now, std::chrono::seconds regressedAfter)
{
    const std::string& target = book.targetOf(group);
    for (DecidedGroup& decided : foldMerged(book, catalog.groups({}))) {
        if (decided.group.group == target) {
            countMergedHosts(catalog, decided, true);
            decided.standing = book.standing(target, now);
            decided.mark = cameBack(decided.standing, now) ? Mark::regressed
                                                           : markOf(catalog, decided.group, now, regressedAfter);
            return std::move(decided);
        }
    }
    return std::nullopt;
}

}  // namespace store
