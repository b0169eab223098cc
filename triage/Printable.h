#pragma once

// Makes untrusted bytes fit to show in a log line, the journal or a web page.

#include <cstddef>
#include <string>
#include <string_view>

namespace triage {

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
