#pragma once

// Makes untrusted bytes fit to show in a log line, the journal or a web page.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace triage {

// The length of the valid UTF-8 sequence that starts `text` (not empty), or
// 0; a valid one's code point goes to `codePoint`. Overlong forms,
// surrogates and code points past U+10FFFF are invalid.
inline std::size_t sequenceLength(std::string_view text, std::uint32_t& codePoint)
{
    const auto byte = [text](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(text[i])); };
    const std::uint32_t lead = byte(0);
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    }
    const std::size_t length = lead > 0xF4 ? 0 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || text.size() < length) {
        return 0;
    }
    codePoint = lead & (0x7FU >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    // The shortest sequence for each code point is the only valid one.
    static constexpr std::array<std::uint32_t, 5> kLeast{0, 0, 0x80, 0x800, 0x10000};
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    return codePoint < kLeast[length] || codePoint > 0x10FFFF || surrogate ? 0 : length;
}

// C1 controls, line and paragraph separators, direction marks, embeddings,
// overrides and isolates, characters that show as nothing (zero width
// space, word joiner, invisible operators, soft hyphen, fillers), the byte
// order mark, interlinear annotations and noncharacters: valid, but they
// move or hide text where it is shown. Zero width joiners stay: scripts
// and emoji need them.
inline bool hidesText(std::uint32_t codePoint)
{
    const auto within = [codePoint](std::uint32_t first, std::uint32_t last) {
        return codePoint >= first && codePoint <= last;
    };
    return within(0x80, 0x9F) || codePoint == 0xAD || codePoint == 0x061C || codePoint == 0x115F
        || codePoint == 0x1160 || codePoint == 0x180E || codePoint == 0x200B || within(0x200E, 0x200F)
        || within(0x2028, 0x202E) || within(0x2060, 0x206F) || codePoint == 0x3164 || codePoint == 0xFEFF
        || codePoint == 0xFFA0 || within(0xFFF9, 0xFFFB) || within(0xFDD0, 0xFDEF) || (codePoint & 0xFFFE) == 0xFFFE;
}

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
