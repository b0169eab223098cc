#include "page/Charts.h"
#include "page/Format.h"
#include "page/Html.h"
#include "page/Parts.h"

namespace triage::page {

namespace {

constexpr std::size_t kTitleCodePoints = 120;
constexpr std::size_t kFactCodePoints = 256;
constexpr std::size_t kSignatureCodePoints = 1024;

std::string_view asText(std::span<const unsigned char> bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

void appendFact(std::string& out, std::string_view name, std::string_view untrusted, std::size_t maxCodePoints)
{
    if (untrusted.empty()) {
        return;
    }
    out += "<dt>";
    out += name;
    out += "</dt><dd>";
    html::appendField(out, untrusted, maxCodePoints);
    out += "</dd>";
}

void appendGroupFacts(std::string& out, const GroupPage& page)
{
    const store::GroupSummary& group = page.group;
    out += "<dl class=\"facts\">";
    appendFact(out, "Group", group.group, kFactCodePoints);
    out += "<dt>Signature</dt><dd><code>";
    html::appendField(out, group.signature, kSignatureCodePoints);
    out += "</code></dd>";
    appendFact(out, "Reports", displayCount(group.count), kFactCodePoints);
    appendFact(out, "Hosts", displayCount(group.hosts), kFactCodePoints);
    appendFact(out, "First seen", displayTime(group.firstSeen) + " UTC", kFactCodePoints);
    appendFact(out, "Last seen", displayTime(group.lastSeen) + " UTC", kFactCodePoints);
    if (page.mark != Mark::none) {
        out += "<dt>Mark</dt><dd>";
        appendMark(out, page.mark);
        out += "</dd>";
    }
    out += "<dt>State</dt><dd>";
    appendState(out, page.standing, true);
    out += "</dd>";
    appendFact(out, "First version", group.firstVersion, kFactCodePoints);
    appendFact(out, "Last version", group.lastVersion, kFactCodePoints);
    if (!page.merged.empty()) {
        out += "<dt>Merged into it</dt><dd>";
        for (const std::string& id : page.merged) {
            out += "<code>";
            html::appendField(out, id, kFactCodePoints);
            out += "</code> ";
        }
        out += "</dd>";
    }
    out += "</dl>\n";
}

void appendReportRow(std::string& out, const store::ReportSummary& report, bool withText)
{
    out += "<tr><td class=\"t\">" + displayTime(report.received) + "</td><td>";
    html::appendField(out, report.sender, kFactCodePoints);
    out += "</td><td>";
    html::appendField(out, report.host, kFactCodePoints);
    out += "</td><td>";
    html::appendField(out, report.unit, kFactCodePoints);
    out += "</td><td class=\"n\">" + displaySize(report.bytes) + "</td><td>";
    if (withText && html::isSafeReportId(report.report)) {
        out += "<a href=\"../reports/" + report.report + ".html\">text</a>";
    }
    out += "</td></tr>\n";
}

void appendReportList(std::string& out, const GroupPage& page)
{
    const std::size_t listed = page.reports.size();
    out += "<h2>Reports, newest first</h2>\n<p class=\"note\">";
    if (page.group.count > listed) {
        out += "The newest " + displayCount(listed) + " of " + displayCount(page.group.count) + "; "
            + displayCount(page.group.count - listed) + " older reports are not listed. ";
    }
    if (listed > kReportTexts) {
        out += "Texts are kept for the newest " + displayCount(kReportTexts) + ". ";
    }
    out += "Times in UTC.</p>\n<table><thead><tr><th>Received</th><th>Sender</th><th>Host</th><th>Unit</th>"
           "<th class=\"n\">Size</th><th>Text</th></tr></thead>\n<tbody>\n";
    for (std::size_t index = 0; index < listed; ++index) {
        appendReportRow(out, page.reports[index], index < page.hasText.size() && page.hasText[index]);
    }
    out += "</tbody></table>\n";
}

// A report's text, as much of it as a page shows; what is left out is
// said, with how to see it whole.
void appendShownText(std::string& out, std::span<const unsigned char> text, std::string_view report)
{
    out += "<pre>";
    const std::size_t shown = html::appendPreformatted(out, asText(text), kShownTextBytes);
    out += "</pre>\n";
    if (shown < text.size()) {
        out += "<p class=\"note\">The page shows the first " + displaySize(shown) + " of its "
            + displaySize(text.size()) + ": <code>crashReports show ";
        html::appendField(out, report, kFactCodePoints);
        out += "</code> prints it whole.</p>\n";
    }
}

void appendNewestText(std::string& out, const GroupPage& page)
{
    if (page.reports.empty()) {
        return;
    }
    const store::ReportSummary& newest = page.reports.front();
    out += "<h2>Newest report</h2>\n<p class=\"note\">";
    html::appendField(out, newest.report, kFactCodePoints);
    out += ", received " + displayTime(newest.received) + " UTC from ";
    html::appendField(out, newest.sender, kFactCodePoints);
    out += "</p>\n";
    if (page.newestText) {
        appendShownText(out, *page.newestText, newest.report);
    } else {
        out += "<p>The store no longer holds this report.</p>\n";
    }
}

}  // namespace

std::string groupPage(const GroupPage& page)
{
    std::string out;
    out.reserve(8192 + kShownTextBytes);
    appendHead(out, page.group.title + " \u00B7 group " + page.group.group, false);
    out += "<header><p><a href=\"../index.html\">All groups</a></p><h1>";
    html::appendField(out, page.group.title, kTitleCodePoints);
    out += "</h1></header>\n<main>\n";
    appendGroupFacts(out, page);
    out += "<h2>Reports per day, last 14 days</h2>\n";
    out += barChart(page.daily, "Reports of this group per day over the last 14 days");
    out += "\n";
    appendReportList(out, page);
    appendNewestText(out, page);
    appendTail(out, false);
    return out;
}

std::string reportPage(const store::ReportSummary& report, std::span<const unsigned char> text)
{
    std::string out;
    out.reserve(4096 + kShownTextBytes);
    appendHead(out, "Report " + report.report, false);
    out += "<header><p><a href=\"../index.html\">All groups</a> \u203A group ";
    appendGroupId(out, report.group, "../");
    out += "</p><h1>";
    html::appendField(out, report.title, kTitleCodePoints);
    out += "</h1></header>\n<main>\n<dl class=\"facts\">";
    appendFact(out, "Report", report.report, kFactCodePoints);
    appendFact(out, "Received", displayTime(report.received) + " UTC", kFactCodePoints);
    appendFact(out, "Sender", report.sender, kFactCodePoints);
    appendFact(out, "Host", report.host, kFactCodePoints);
    appendFact(out, "Unit", report.unit, kFactCodePoints);
    appendFact(out, "Executable", report.executable, kFactCodePoints);
    appendFact(out, "Signal", report.signal, kFactCodePoints);
    appendFact(out, "Size", displaySize(report.bytes), kFactCodePoints);
    out += "</dl>\n";
    appendShownText(out, text, report.report);
    appendTail(out, false);
    return out;
}

}  // namespace triage::page
