#include "page/Html.h"

#include "signature/Printable.h"

#include <algorithm>
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

std::size_t appendPreformatted(std::string& out, std::string_view untrusted, std::size_t mostBytes)
{
    out.reserve(out.size() + std::min(untrusted.size() + untrusted.size() / 8, mostBytes) + 1);
    out += '\n';
    const std::size_t start = out.size();
    std::size_t i = 0;
    while (i < untrusted.size() && out.size() - start < mostBytes) {
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
    return i;
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
