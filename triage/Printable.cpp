#include "Printable.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace triage {

std::size_t sequenceLength(std::string_view text, std::uint32_t& codePoint)
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

bool hidesText(std::uint32_t codePoint)
{
    return (codePoint >= 0x80 && codePoint <= 0x9F) || codePoint == 0x2028 || codePoint == 0x2029
        || codePoint == 0x200E || codePoint == 0x200F || (codePoint >= 0x202A && codePoint <= 0x202E)
        || (codePoint >= 0x2066 && codePoint <= 0x2069) || codePoint == 0xFEFF
        || (codePoint >= 0xFDD0 && codePoint <= 0xFDEF) || (codePoint & 0xFFFE) == 0xFFFE;
}

namespace {

constexpr std::string_view kEllipsis = "\u2026";
constexpr std::string_view kReplacement = "\uFFFD";

// The index just after the terminal escape sequence that starts at `i`.
std::size_t skipEscape(std::string_view text, std::size_t i)
{
    if (++i >= text.size()) {
        return i;
    }
    const char kind = text[i++];
    if (kind == '[') {
        while (i < text.size() && text[i] >= 0x20 && text[i] <= 0x3F) {
            ++i;
        }
        if (i < text.size() && text[i] >= 0x40 && text[i] <= 0x7E) {
            ++i;
        }
    } else if (kind == ']') {
        // An operating system command runs to BEL, or to the ESC of ESC \.
        while (i < text.size() && text[i] != '\a' && text[i] != '\x1b') {
            ++i;
        }
        i += i < text.size() && text[i] == '\a' ? 1 : 0;
    }
    return i;
}

// Collects printable pieces within the limits and remembers the last length
// at which an ellipsis still fits, so that a cut text can end in one.
class LimitedText {
public:
    LimitedText(std::size_t maxBytes, std::size_t maxCodePoints) : maxBytes_(maxBytes), maxCodePoints_(maxCodePoints) {}

    void space() { spaceDue_ = !text_.empty(); }

    // False once the text is over a limit: the rest is cut.
    bool add(std::string_view codePoint)
    {
        if (std::exchange(spaceDue_, false) && !put(" ")) {
            return false;
        }
        return put(codePoint);
    }

    std::string take(bool cut)
    {
        if (cut) {
            text_.resize(ellipsisAt_);
            while (!text_.empty() && text_.back() == ' ') {
                text_.pop_back();
            }
            if (kEllipsis.size() <= maxBytes_ && maxCodePoints_ > 0) {
                text_ += kEllipsis;
            }
        }
        return std::move(text_);
    }

private:
    bool put(std::string_view codePoint)
    {
        if (text_.size() + codePoint.size() > maxBytes_ || codePoints_ + 1 > maxCodePoints_) {
            return false;
        }
        text_ += codePoint;
        ++codePoints_;
        if (text_.size() + kEllipsis.size() <= maxBytes_ && codePoints_ + 1 <= maxCodePoints_) {
            ellipsisAt_ = text_.size();
        }
        return true;
    }

    std::size_t maxBytes_;
    std::size_t maxCodePoints_;
    std::string text_;
    std::size_t codePoints_ = 0;
    std::size_t ellipsisAt_ = 0;
    bool spaceDue_ = false;
};

}  // namespace

std::string printable(std::string_view text, std::size_t maxBytes, std::size_t maxCodePoints)
{
    LimitedText out(maxBytes, maxCodePoints);
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == 0x1B) {
            i = skipEscape(text, i);
            continue;
        }
        if (byte <= 0x20 || byte == 0x7F) {
            out.space();
            ++i;
            continue;
        }
        std::uint32_t codePoint = 0;
        const std::size_t length = sequenceLength(text.substr(i), codePoint);
        const std::string_view piece = length == 0 ? kReplacement : text.substr(i, length);
        i += std::max<std::size_t>(length, 1);
        if (length != 0 && hidesText(codePoint)) {
            continue;
        }
        if (!out.add(piece)) {
            return out.take(true);
        }
    }
    return out.take(false);
}


}  // namespace triage
