#pragma once

// Private to reader/.

// What crashReports prints: aligned tables for people, JSON arrays for
// programs. Every text that comes from a report is untrusted: a table shows
// it as one printable line, and JSON carries it with invalid UTF-8 replaced.

#include "signature/Signature.h"
#include "store/Catalog.h"
#include "store/DecidedGroups.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace triage {

// One line of the text of a cell, "-" where there is none: nothing that a
// report holds can move the cursor, change colours or break a line.
std::string cell(std::string_view text, std::size_t maxBytes = kMaxTextBytes);
// Seconds are enough to read by; the JSON keeps the microseconds.
std::string cellTime(store::TimePoint time);

// `underRules` is empty, or holds for each group the signature its newest
// report has under other rules (nothing where that report can't be read).
std::string groupsTable(std::span<const store::DecidedGroup> groups,
                        std::span<const std::optional<Signature>> underRules);
std::string groupsJson(std::span<const store::DecidedGroup> groups,
                       std::span<const std::optional<Signature>> underRules);
// A group with where it stands, the decisions taken on it (`decisions`, in
// order), its signature and those of the groups merged into it
// (`signatures`, by group), and its newest report's summary.
std::string groupText(const store::DecidedGroup& group, std::span<const store::Decision> decisions,
                      std::span<const std::pair<std::string, std::string>> signatures,
                      const std::optional<store::ReportSummary>& newest);
// "fixed in 1.4-1 since 2026-12-01T10:00:00Z by alice: the note".
std::string standingText(const store::Standing& standing);

std::string reportsTable(std::span<const store::ReportSummary> reports);
std::string reportsJson(std::span<const store::ReportSummary> reports);

// A report's bytes for a terminal: lines, tabs and valid UTF-8 text as they
// are; every other control character, C1's included, and every byte that
// is not UTF-8 shown as \xNN, so that a report can't move the cursor, clear
// the screen or retitle the window.
std::string forTerminal(std::string_view bytes);

// A report file's name, then its signature's parts and facts, one a line.
std::string signatureText(std::string_view file, const Signature& signature);

}  // namespace triage
