#pragma once

// Makes untrusted bytes fit to show in a log line, the journal or a web page.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace triage {

// The length of the valid UTF-8 sequence that starts `text` (not empty), or
// 0; a valid one's code point goes to `codePoint`. Overlong forms,
// surrogates and code points past U+10FFFF are invalid.
std::size_t sequenceLength(std::string_view text, std::uint32_t& codePoint);

// C1 controls, line and paragraph separators, direction marks and
// overrides, the byte order mark and noncharacters: valid, but they move or
// hide text where it is shown.
bool hidesText(std::uint32_t codePoint);

// One line of valid UTF-8 without control characters: escape sequences are
// dropped, invalid bytes become U+FFFD, runs of white space and control
// characters one space, and the ends are trimmed. Code points that reorder
// or hide text (C1 controls, direction overrides, line separators) are
// dropped. A text longer than either limit is cut at a code point and ends
// in "…", within both limits.
std::string printable(std::string_view text, std::size_t maxBytes, std::size_t maxCodePoints);

inline std::string printable(std::string_view text, std::size_t maxBytes)
{
    return printable(text, maxBytes, maxBytes);
}

}  // namespace triage
