#pragma once

// Private to page/.

// The triage site's pages as text, from what the site writer gathered from
// the catalog. Pure: no catalog, no files.

#include "store/Catalog.h"
#include "store/DecidedGroups.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace triage::page {

using namespace std::chrono_literals;

// Reports listed on a group's page, and of those the newest whose texts
// get pages of their own.
inline constexpr std::size_t kListedReports = 200;
inline constexpr std::size_t kReportTexts = 5;
// What a page shows of a report's text at most, escaped: the site stays a
// small part of the store, whatever the reports hold.
inline constexpr std::size_t kShownTextBytes = 64 << 10;
// Groups the index lists, and gives pages of their own, the latest first:
// the site stays bounded however many groups there are.
inline constexpr std::size_t kListedGroups = 5000;

// What marks a group on the index: new, or back after a quiet time, in
// the last day (see store::markOf). The rule is the index's own text.
using store::Mark;

// A group as the index lists it: with the groups merged into it counted in,
// where it stands, and its mark.
struct IndexRow {
    store::GroupSummary group;
    Mark mark = Mark::none;
    std::string sparkline;  // its reports per day, as SVG
    store::Standing standing = {};
    std::vector<std::string> merged = {};
};

struct Totals {
    std::uint64_t groups = 0;  // all of them, listed or not
    std::uint64_t reports = 0;
    std::uint64_t hosts = 0;  // distinct sender addresses
    std::optional<store::TimePoint> newest;
    std::chrono::seconds regressedAfter{};  // the quiet time before a group is marked regressed
};

struct GroupPage {
    const store::GroupSummary& group;
    Mark mark;
    const store::Standing& standing;
    std::span<const std::string> merged;
    const store::Histogram& daily;
    std::span<const store::ReportSummary> reports;  // listed, newest first
    const std::vector<bool>& hasText;               // which of the first have a text page
    const std::optional<std::vector<unsigned char>>& newestText;
};

// The start of a page, through <body>: its policy, title and style sheet.
// `title` is escaped here.
void appendHead(std::string& out, std::string_view title, bool withScript);
// The end of a page, with the script where the page has one.
void appendTail(std::string& out, bool withScript);
// A group's id, linked to its page (`pathToRoot` leads from the page to the
// site's top) where the id is fit for a file name; else as text.
void appendGroupId(std::string& out, std::string_view id, std::string_view pathToRoot);
// A mark as a small label; nothing for none.
void appendMark(std::string& out, Mark mark);
// Where a group stands: "open", or "fixed in 1.4-1 on 2026-12-01 14:02" and
// the like, with the note of the decision where `withNote`.
void appendState(std::string& out, const store::Standing& standing, bool withNote);

std::string indexPage(const Totals& totals, const store::Histogram& hourly, std::span<const IndexRow> rows,
                      store::TimePoint now);
// The same for the same group, reports and day: the site links it into a
// new site unchanged where it is.
std::string groupPage(const GroupPage& page);
// Never changes for a report once written: the site links it, unchanged,
// into each new site.
std::string reportPage(const store::ReportSummary& report, std::span<const unsigned char> text);

}  // namespace triage::page
