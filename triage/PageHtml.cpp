#include "PageHtml.h"

#include "Printable.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace triage::html {

namespace {

constexpr std::string_view kReplacement = "\uFFFD";
constexpr std::size_t kMaxFieldBytes = 4096;
constexpr std::size_t kMaxReportIdLength = 200;

// The reference for a character that must not appear as itself, or empty.
std::string_view referenceFor(char c)
{
    switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: return {};
    }
}

// The length of the valid UTF-8 sequence that starts `text` (not empty), or
// 0; a valid one's code point goes to `codePoint`. Overlong forms,
// surrogates and code points past U+10FFFF are invalid.
std::size_t sequenceLength(std::string_view text, std::uint32_t& codePoint)
{
    const auto byte = [text](std::size_t i) { return std::uint32_t{static_cast<unsigned char>(text[i])}; };
    const std::uint32_t lead = byte(0);
    const std::size_t length = lead < 0x80 ? 1
        : lead > 0xF4                      ? 0
        : lead >= 0xF0                     ? 4
        : lead >= 0xE0                     ? 3
        : lead >= 0xC2                     ? 2
                                           : 0;
    if (length == 0 || text.size() < length) {
        return 0;
    }
    codePoint = length == 1 ? lead : lead & (0x7FU >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i) & 0x3F);
    }
    static constexpr std::array<std::uint32_t, 5> kLeast{0, 0, 0x80, 0x800, 0x10000};
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    return codePoint < kLeast[length] || codePoint > 0x10FFFF || surrogate ? 0 : length;
}

// C1 controls, line and paragraph separators, direction marks and
// overrides, the byte order mark and noncharacters: valid, but they move or
// hide text where it is shown.
bool hidesText(std::uint32_t codePoint)
{
    return (codePoint >= 0x80 && codePoint <= 0x9F) || codePoint == 0x2028 || codePoint == 0x2029
        || codePoint == 0x200E || codePoint == 0x200F || (codePoint >= 0x202A && codePoint <= 0x202E)
        || (codePoint >= 0x2066 && codePoint <= 0x2069) || codePoint == 0xFEFF
        || (codePoint >= 0xFDD0 && codePoint <= 0xFDEF) || (codePoint & 0xFFFE) == 0xFFFE;
}

// A control character's picture: U+2400 for NUL to U+241F, U+2421 for DEL.
void appendControlPicture(std::string& out, unsigned char control)
{
    const std::uint32_t picture = control == 0x7F ? 0x2421 : 0x2400 + control;
    out += static_cast<char>(0xE0 | (picture >> 12));
    out += static_cast<char>(0x80 | ((picture >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (picture & 0x3F));
}

bool isAsciiAlphanumeric(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

void appendEscaped(std::string& out, std::string_view text)
{
    for (const char c : text) {
        const std::string_view reference = referenceFor(c);
        if (reference.empty()) {
            out += c;
        } else {
            out += reference;
        }
    }
}

void appendField(std::string& out, std::string_view untrusted, std::size_t maxCodePoints)
{
    appendEscaped(out, printable(untrusted, kMaxFieldBytes, maxCodePoints));
}

void appendPreformatted(std::string& out, std::string_view untrusted)
{
    out.reserve(out.size() + untrusted.size() + untrusted.size() / 8 + 1);
    out += '\n';
    std::size_t i = 0;
    while (i < untrusted.size()) {
        const char c = untrusted[i];
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 0x20 && byte < 0x7F) || c == '\n' || c == '\t' || c == '\r') {
            appendEscaped(out, untrusted.substr(i, 1));
            ++i;
            continue;
        }
        if (byte < 0x20 || byte == 0x7F) {
            appendControlPicture(out, byte);
            ++i;
            continue;
        }
        std::uint32_t codePoint = 0;
        const std::size_t length = sequenceLength(untrusted.substr(i), codePoint);
        out += length == 0 || hidesText(codePoint) ? kReplacement : untrusted.substr(i, length);
        i += std::max<std::size_t>(length, 1);
    }
}

bool isSafeReportId(std::string_view id)
{
    const auto allowed = [](char c) { return isAsciiAlphanumeric(c) || c == '.' || c == '_' || c == '-'; };
    return !id.empty() && id.size() <= kMaxReportIdLength && isAsciiAlphanumeric(id.front())
        && std::ranges::all_of(id, allowed);
}

bool isSafeGroupId(std::string_view id)
{
    const auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); };
    return id.size() == 16 && std::ranges::all_of(id, hex);
}

}  // namespace triage::html
