#include "page/Site.h"

#include "common/StartupError.h"
#include "page/Assets.h"
#include "page/Charts.h"
#include "page/Html.h"
#include "page/Parts.h"
#include "page/SiteDirectory.h"
#include "signature/Signature.h"

#include <algorithm>
#include <unordered_set>

namespace triage {

namespace {

using namespace std::chrono;
using Folder = SiteDirectory::Folder;

// Changed whenever a report page's markup changes: report pages are linked
// into each new site unchanged only from a site with the same marker, which
// also names the signatures' version (a report's group link) and, through
// the policy's hash, the style sheet.
constexpr int kReportPageFormat = 1;

std::string siteMarker()
{
    return "triage site; report pages " + std::to_string(kReportPageFormat) + "; signatures "
        + std::to_string(kSignatureVersion) + "; " + assets::policy(false) + "\n";
}

// The group's reports, or the newest so many.
store::ReportFilter ofGroup(const std::string& group, std::optional<std::size_t> limit = std::nullopt)
{
    return {.since = std::nullopt, .group = group, .limit = limit};
}

// "10.1.2.3" of "10.1.2.3:40000".
std::string_view senderAddress(std::string_view sender)
{
    const auto colon = sender.rfind(':');
    return colon == std::string_view::npos ? sender : sender.substr(0, colon);
}

// Adds the sender addresses of the group and of those merged into it to
// `hosts`, from the listed reports where they are all of theirs.
void collectHosts(store::Catalog& catalog, const store::DecidedGroup& decided,
                  const std::vector<store::ReportSummary>& listed, std::unordered_set<std::string>& hosts)
{
    const auto add = [&hosts](const std::vector<store::ReportSummary>& reports) {
        for (const auto& report : reports) {
            hosts.emplace(senderAddress(report.sender));
        }
    };
    if (listed.size() >= decided.group.count) {
        add(listed);
        return;
    }
    add(catalog.reports(ofGroup(decided.group.group)));
    for (const std::string& merged : decided.merged) {
        add(catalog.reports(ofGroup(merged)));
    }
}

// Gives each of the newest reports with a safe id a text page, linked
// from the previous site where it has one; returns which reports have one.
std::vector<bool> writeReportPages(store::Catalog& catalog, SiteDirectory& site,
                                   std::span<const store::ReportSummary> reports)
{
    std::vector<bool> hasText(std::min(reports.size(), page::kReportTexts), false);
    for (std::size_t index = 0; index < hasText.size(); ++index) {
        const store::ReportSummary& report = reports[index];
        if (!html::isSafeReportId(report.report)) {
            continue;
        }
        const std::string name = report.report + ".html";
        if (!site.linkPrevious(Folder::reports, name)) {
            const auto bytes = catalog.reportBytes(report.report);
            if (!bytes) {
                continue;
            }
            site.write(Folder::reports, name, page::reportPage(report, *bytes));
        }
        hasText[index] = true;
    }
    return hasText;
}

// The newest reports of the group and of those merged into it, and the
// day's counts of them all.
struct GroupReports {
    std::vector<store::ReportSummary> listed;
    store::Histogram daily;
};

GroupReports reportsOf(store::Catalog& catalog, const store::DecidedGroup& decided, store::TimePoint now)
{
    GroupReports reports{catalog.reports(ofGroup(decided.group.group, page::kListedReports)),
                         catalog.histogram(decided.group.group, days{1}, 14, now)};
    for (const std::string& merged : decided.merged) {
        const auto more = catalog.reports(ofGroup(merged, page::kListedReports));
        reports.listed.insert(reports.listed.end(), more.begin(), more.end());
        const store::Histogram daily = catalog.histogram(merged, days{1}, 14, now);
        for (std::size_t day = 0; day < daily.counts.size() && day < reports.daily.counts.size(); ++day) {
            reports.daily.counts[day] += daily.counts[day];
        }
    }
    if (!decided.merged.empty()) {
        std::ranges::sort(reports.listed, [](const auto& a, const auto& b) {
            return a.received != b.received ? a.received > b.received : a.report > b.report;
        });
        reports.listed.resize(std::min(reports.listed.size(), page::kListedReports));
    }
    return reports;
}

// Writes the group's page and its reports' pages; returns its index row.
page::IndexRow writeGroup(store::Catalog& catalog, SiteDirectory& site, const store::DecidedGroup& decided,
                          store::TimePoint now, std::unordered_set<std::string>& hosts)
{
    const store::GroupSummary& group = decided.group;
    const GroupReports reports = reportsOf(catalog, decided, now);
    collectHosts(catalog, decided, reports.listed, hosts);
    page::IndexRow row{group, decided.mark, sparkline(reports.daily), decided.standing, decided.merged};
    if (!html::isSafeGroupId(group.group)) {
        return row;
    }
    const auto hasText = writeReportPages(catalog, site, reports.listed);
    const auto newestText = reports.listed.empty() ? std::nullopt : catalog.reportBytes(reports.listed.front().report);
    const page::GroupPage content{group,         row.mark,       decided.standing, decided.merged,
                                  reports.daily, reports.listed, hasText,          newestText};
    site.writeOrLinkSame(Folder::groups, group.group + ".html", page::groupPage(content));
    return row;
}

void writeSite(store::Catalog& catalog, SiteDirectory& site, store::TimePoint now, std::chrono::seconds regressedAfter)
{
    std::unordered_set<std::string> hosts;
    std::vector<page::IndexRow> rows;
    const store::DecisionBook book(catalog.decisions());
    const auto groups = store::decideGroups(catalog, book, {.filter = {}, .state = std::nullopt, .all = true, .text = {}},
                                            now, regressedAfter);
    page::Totals totals{.groups = groups.size(), .reports = 0, .hosts = 0, .newest = std::nullopt,
                        .regressedAfter = regressedAfter};
    // The latest first: those past kListedGroups get no row and no page.
    for (std::size_t index = 0; index < std::min(groups.size(), page::kListedGroups); ++index) {
        rows.push_back(writeGroup(catalog, site, groups[index], now, hosts));
    }
    totals.reports = catalog.countReports({});
    totals.hosts = hosts.size();
    for (const auto& group : groups) {
        totals.newest = std::max(totals.newest.value_or(group.group.lastSeen), group.group.lastSeen);
    }
    const store::Histogram hourly = catalog.histogram(std::nullopt, hours{1}, 48, now);
    site.write(Folder::top, "index.html", page::indexPage(totals, hourly, rows, now));
}

// One line, whatever the failure's text holds.
std::string oneLine(std::string text)
{
    std::ranges::replace_if(text, [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

}  // namespace

// The site is built whole beside `outDir` and swapped into place, so that a
// reader never sees half a site; what fails is a StartupError of one line.
void writePage(store::Catalog& catalog, const std::filesystem::path& outDir, store::TimePoint now,
               std::chrono::seconds regressedAfter)
{
    SiteDirectory site(outDir, siteMarker());
    try {
        writeSite(catalog, site, now, regressedAfter);
    } catch (const crashreports::StartupError&) {
        throw;
    } catch (const std::exception& error) {
        throw crashreports::StartupError(oneLine(std::string("reading the catalog: ") + error.what()));
    }
    site.publish();
}

}  // namespace triage
