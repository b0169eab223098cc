#include "signature/Printable.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace triage {

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

    // Adds a run of printable ASCII, a code point a byte, as add() would
    // add each, at once.
    bool addAscii(std::string_view run)
    {
        if (std::exchange(spaceDue_, false) && !put(" ")) {
            return false;
        }
        const std::size_t taken = std::min({run.size(), maxBytes_ - text_.size(), maxCodePoints_ - codePoints_});
        const std::size_t from = text_.size();
        const std::size_t fromCodePoints = codePoints_;
        text_.append(run.substr(0, taken));
        codePoints_ += taken;
        // The last end of the run after which an ellipsis still fits.
        const std::size_t byBytes = maxBytes_ >= kEllipsis.size() ? maxBytes_ - kEllipsis.size() : 0;
        const std::size_t byCodePoints = maxCodePoints_ >= fromCodePoints + 1 ? from + (maxCodePoints_ - fromCodePoints - 1) : 0;
        const std::size_t last = std::min({text_.size(), byBytes, byCodePoints});
        if (last > from) {
            ellipsisAt_ = last;
        }
        return taken == run.size();
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
        if (byte < 0x7F) {
            std::size_t end = i + 1;
            while (end < text.size() && text[end] > 0x20 && text[end] < 0x7F) {
                ++end;
            }
            if (!out.addAscii(text.substr(i, end - i))) {
                return out.take(true);
            }
            i = end;
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
