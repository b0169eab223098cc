#include "common/TimeText.h"
#include "page/Assets.h"
#include "page/Charts.h"
#include "page/Format.h"
#include "page/Html.h"
#include "page/Parts.h"

#include <algorithm>

namespace triage::page {

namespace {

constexpr std::size_t kTitleCodePoints = 120;
// The index shows a signature's start; its page shows all of it.
constexpr std::size_t kIndexSignatureCodePoints = 100;

// How groups are ordered and marked.
std::string markRule(std::chrono::seconds regressedAfter)
{
    return "<p class=\"note\">Latest activity first; times in UTC. <span class=\"mark new\">new</span> first seen "
           "in the last 24 hours. <span class=\"mark regressed\">regressed</span> reports in the last 24 hours, none "
           "in the "
        + crashreports::describeSpan(regressedAfter)
        + " before those, and older ones before that. A state of regressed: a report after the group was "
          "fixed. Groups merged into another are counted in it.</p>\n";
}

// The index's columns: the header cells, each with how the script sorts it.
constexpr std::string_view kGroupsHeader =
    "<table id=\"groups\"><thead><tr><th data-sort=\"text\">Group</th><th data-sort=\"text\">Title</th>"
    "<th data-sort=\"text\">Signature</th><th data-sort=\"num\">Reports</th>"
    "<th data-sort=\"num\">Hosts</th><th data-sort=\"text\">First seen</th>"
    "<th data-sort=\"text\" aria-sort=\"descending\">Last seen</th><th data-sort=\"text\">Mark</th>"
    "<th>Last 14 days</th><th data-sort=\"text\">State</th></tr></thead>\n<tbody>\n";

// The same columns for the ignored groups, which the script leaves alone.
constexpr std::string_view kIgnoredHeader =
    "<table id=\"ignored\"><thead><tr><th>Group</th><th>Title</th><th>Signature</th><th>Reports</th><th>Hosts</th>"
    "<th>First seen</th><th>Last seen</th><th>Mark</th><th>Last 14 days</th><th>State</th></tr></thead>\n"
    "<tbody>\n";

void appendTotal(std::string& out, std::string_view name, std::string_view id, const std::string& value)
{
    out += "<div><dt>";
    out += name;
    out += "</dt><dd id=\"";
    out += id;
    out += "\">";
    out += value;
    out += "</dd></div>";
}

void appendTotals(std::string& out, const Totals& totals, std::size_t listed)
{
    out += "<dl class=\"totals\">";
    appendTotal(out, "Reports", "total-reports", displayCount(totals.reports));
    appendTotal(out, "Groups", "total-groups", displayCount(totals.groups));
    appendTotal(out, listed < totals.groups ? "Hosts of those listed" : "Hosts", "total-hosts",
                displayCount(totals.hosts));
    appendTotal(out, "Newest report", "newest", totals.newest ? displayTime(*totals.newest) + " UTC" : "none");
    out += "</dl>\n";
}

// One row; cells end where the next begins, as HTML allows, which keeps a
// large index small.
void appendRow(std::string& out, const IndexRow& row)
{
    const store::GroupSummary& group = row.group;
    out += "<tr><td>";
    appendGroupId(out, group.group, "");
    out += "<td>";
    html::appendField(out, group.title, kTitleCodePoints);
    if (!row.merged.empty()) {
        out += "<br><small>merged:";
        for (const std::string& id : row.merged) {
            out += " <code>";
            html::appendField(out, id, kTitleCodePoints);
            out += "</code>";
        }
        out += "</small>";
    }
    out += "<td>";
    html::appendField(out, group.signature, kIndexSignatureCodePoints);
    out += "<td>";
    out += displayCount(group.count);
    out += "<td>";
    out += displayCount(group.hosts);
    out += "<td>";
    out += displayTime(group.firstSeen);
    out += "<td>";
    out += displayTime(group.lastSeen);
    out += "<td>";
    appendMark(out, row.mark);
    out += "<td>";
    out += row.sparkline;
    out += "<td>";
    appendState(out, row.standing, false);
    out += "\n";
}

// The ignored groups, behind a switch that needs no script.
void appendIgnored(std::string& out, std::span<const IndexRow> rows)
{
    const auto ignored = std::ranges::count_if(rows, [](const IndexRow& row) {
        return row.standing.state == store::GroupState::ignored;
    });
    if (ignored == 0) {
        return;
    }
    out += "<details><summary>";
    out += displayCount(static_cast<std::uint64_t>(ignored));
    out += " ignored groups</summary>\n";
    out += kIgnoredHeader;
    for (const IndexRow& row : rows) {
        if (row.standing.state == store::GroupState::ignored) {
            appendRow(out, row);
        }
    }
    out += "</tbody></table></details>\n";
}

}  // namespace

void appendGroupId(std::string& out, std::string_view id, std::string_view pathToRoot)
{
    if (!html::isSafeGroupId(id)) {
        html::appendField(out, id, kTitleCodePoints);
        return;
    }
    out += "<a href=\"";
    out += pathToRoot;
    out += "groups/";
    out += id;
    out += ".html\">";
    out += id;
    out += "</a>";
}

void appendHead(std::string& out, std::string_view title, bool withScript)
{
    out += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
           "<meta http-equiv=\"Content-Security-Policy\" content=\"";
    html::appendEscaped(out, assets::policy(withScript));
    out += "\">\n<meta name=\"referrer\" content=\"no-referrer\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
    html::appendField(out, title, kTitleCodePoints + 40);
    out += "</title>\n<style>";
    out += assets::kStyle;
    out += "</style></head>\n<body>\n";
}

void appendTail(std::string& out, bool withScript)
{
    out += "</main>\n";
    if (withScript) {
        out += "<script>";
        out += assets::kScript;
        out += "</script>\n";
    }
    out += "</body></html>\n";
}

void appendState(std::string& out, const store::Standing& standing, bool withNote)
{
    out += "<span class=\"state\">";
    out += store::nameOf(standing.state);
    if (standing.state == store::GroupState::regressed && standing.regression) {
        out += ' ';
        out += displayTime(standing.regression->at);
        if (!standing.regression->version.empty()) {
            out += " in ";
            html::appendField(out, standing.regression->version, kTitleCodePoints);
        }
        out += ", fixed";
    }
    if (standing.fixedAt) {
        out += ' ';
        out += displayTime(*standing.fixedAt);
    }
    if (!standing.fixedIn.empty()) {
        out += " in ";
        html::appendField(out, standing.fixedIn, kTitleCodePoints);
    }
    if (standing.state == store::GroupState::ignored && standing.decided && standing.decided->until) {
        out += " until ";
        out += displayTime(*standing.decided->until);
    }
    if (withNote && standing.decided) {
        out += " by ";
        html::appendField(out, standing.decided->by, kTitleCodePoints);
        if (!standing.decided->note.empty()) {
            out += ": ";
            html::appendField(out, standing.decided->note, 1000);
        }
    }
    out += "</span>";
}

void appendMark(std::string& out, Mark mark)
{
    if (mark == Mark::fresh) {
        out += "<span class=\"mark new\">new</span>";
    } else if (mark == Mark::regressed) {
        out += "<span class=\"mark regressed\">regressed</span>";
    }
}

std::string indexPage(const Totals& totals, const store::Histogram& hourly, std::span<const IndexRow> rows,
                      store::TimePoint now)
{
    std::string out;
    out.reserve(4096 + rows.size() * 512);
    appendHead(out, "Crash reports", true);
    out += "<header><h1>Crash reports</h1><p>Written " + displayTime(now) + " UTC</p></header>\n<main>\n";
    appendTotals(out, totals, rows.size());
    out += "<h2>Reports per hour, last 48 hours</h2>\n";
    out += barChart(hourly, "Reports per hour over the last 48 hours");
    out += "\n<h2>Groups</h2>\n";
    out += markRule(totals.regressedAfter);
    if (rows.size() < totals.groups) {
        out += "<p class=\"note\">" + displayCount(totals.groups - rows.size())
            + " groups with older activity are not listed: <code>crashReports groups</code> lists them all.</p>\n";
    }
    out += "<div id=\"controls\"></div>\n";
    out += kGroupsHeader;
    for (const IndexRow& row : rows) {
        if (row.standing.state != store::GroupState::ignored) {
            appendRow(out, row);
        }
    }
    out += "</tbody></table>\n";
    appendIgnored(out, rows);
    appendTail(out, true);
    return out;
}

}  // namespace triage::page
