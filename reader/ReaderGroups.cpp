// The groups and reports that crashReports' options choose, as people
// decided on them. See ReaderParts.h.

#include "common/CommandLine.h"
#include "reader/ReaderOutput.h"
#include "reader/ReaderParts.h"
#include "store/StoreOptions.h"

#include <algorithm>

namespace triage {

namespace {

bool newerFirst(const store::ReportSummary& a, const store::ReportSummary& b)
{
    return a.received != b.received ? a.received > b.received : a.report > b.report;
}

// The reports of `group` and of the groups merged into it.
std::vector<store::ReportSummary> reportsOfGroup(store::Catalog& catalog, const store::DecisionBook& book,
                                                 store::ReportFilter filter, const std::string& group)
{
    const std::string target = book.targetOf(group);
    std::vector<std::string> groups = book.mergedInto(target);
    groups.push_back(target);
    std::vector<store::ReportSummary> reports;
    for (const auto& id : groups) {
        filter.group = id;
        const auto found = catalog.reports(filter);
        reports.insert(reports.end(), found.begin(), found.end());
    }
    std::ranges::sort(reports, newerFirst);
    return reports;
}

// Whether a report of a group in `standing` is listed without --group.
bool listed(const store::Standing& standing, const ReaderOptions& options)
{
    return options.state ? standing.state == *options.state
                         : options.all || standing.state != store::GroupState::ignored;
}

}  // namespace

store::ReportFilter filterOf(const ReaderOptions& options)
{
    store::ReportFilter filter;
    filter.since = options.since;
    filter.host = options.host;
    filter.unit = options.unit;
    filter.executable = options.executable;
    filter.version = options.appVersion;
    return filter;
}

std::vector<store::ReportSummary> chosenReports(store::Catalog& catalog, const store::DecisionBook& book,
                                                const ReaderOptions& options, store::TimePoint now)
{
    store::ReportFilter filter = filterOf(options);
    // A group asked for by its id is asked for, ignored or not.
    const bool choosing = (book.size() != 0 && !options.group) || options.state;
    // The store keeps to the limit; where groups are chosen here, it is
    // asked for four times as many each time until enough are left.
    for (filter.limit = options.limit;; *filter.limit *= 4) {
        std::vector<store::ReportSummary> reports
            = options.group ? reportsOfGroup(catalog, book, filter, *options.group) : catalog.reports(filter);
        const bool all = !filter.limit || reports.size() < *filter.limit;
        if (choosing) {
            std::erase_if(reports, [&](const store::ReportSummary& report) {
                return !listed(book.standing(book.targetOf(report.group), now), options);
            });
        }
        if (!options.limit || reports.size() >= *options.limit || all) {
            reports.resize(std::min(reports.size(), options.limit.value_or(reports.size())));
            return reports;
        }
    }
}

Outcome showGroup(store::Catalog& catalog, const ReaderOptions& options, store::TimePoint now)
{
    const std::string& id = options.operands.front();
    const store::DecisionRecord record = catalog.decisions();
    const store::DecisionBook book(record);
    const auto decided = store::decideGroup(catalog, book, id, now, store::kDefaultRegressedAfter);
    if (!decided) {
        return failure("no group " + crashreports::inQuotes(id) + " in " + options.store.shown());
    }
    std::vector<std::string> groups = decided->merged;
    groups.insert(groups.begin(), decided->group.group);
    std::vector<std::pair<std::string, std::string>> signatures;
    for (const auto& group : catalog.groups({})) {
        if (std::ranges::find(groups, group.group) != groups.end()) {
            signatures.emplace_back(group.group, group.signature);
        }
    }
    // Those taken on its groups, or that merged a group into it.
    std::vector<store::Decision> decisions;
    for (const store::Decision& decision : record.decisions) {
        const bool about = std::ranges::find(groups, decision.group) != groups.end()
            || std::ranges::any_of(decision.reports, [&](const std::string& report) {
                   const auto found = record.groupOfReport.find(report);
                   return found != record.groupOfReport.end() && std::ranges::find(groups, found->second) != groups.end();
               });
        if (about || decision.into == decided->group.group) {
            decisions.push_back(decision);
        }
    }
    return {0, groupText(*decided, decisions, signatures, catalog.report(decided->group.newest)), {}};
}

}  // namespace triage
