#pragma once

// Private to page/.

// Text from crash reports, made safe for the triage pages. Every byte that
// reaches a page from a catalog is hostile: these functions are the only
// way such bytes go into HTML, and the only judges of which ids may become
// a file name or a link.

#include <cstddef>
#include <string>
#include <string_view>

namespace triage::html {

// Appends `text` escaped for element text and for a double-quoted attribute
// value alike: & < > " ' become character references. `text` must already
// be valid UTF-8 (as field() and preformatted() make it).
void appendEscaped(std::string& out, std::string_view text);

// A one-line field of a report or group (title, signature, host, unit,
// sender): printable, cut to `maxCodePoints` with "…", and escaped.
void appendField(std::string& out, std::string_view untrusted, std::size_t maxCodePoints);

// A report's bytes for the inside of a <pre>: line breaks and tabs kept,
// invalid UTF-8 shown as U+FFFD, other control characters as their control
// pictures (NUL as U+2400), code points that reorder or hide text as U+FFFD,
// and escaped. Starts with the line break that the parser drops after <pre>,
// so that a report's own first line break survives. Stops once it has
// added `mostBytes` or more (at a character's end); how many bytes of
// `untrusted` it took.
std::size_t appendPreformatted(std::string& out, std::string_view untrusted,
                               std::size_t mostBytes = std::string_view::npos);

// Whether a report id may name a file and go into a URL: 1 to 200 of
// A-Z a-z 0-9 . _ -, starting with a letter or digit.
bool isSafeReportId(std::string_view id);

// Whether a group id is a signature's id: 16 lowercase hex digits.
bool isSafeGroupId(std::string_view id);

}  // namespace triage::html
