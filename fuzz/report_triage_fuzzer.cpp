// libFuzzer target for what the collector and the page make of a report's
// bytes, which anyone who can send a datagram chooses: its signature, and the
// report shown on a page. Besides the sanitizers' checks, the signature must
// keep its bounds and be the same twice, and the page's text must be valid
// UTF-8 with no character that could end an element or an attribute.

#include "page/Html.h"
#include "signature/Printable.h"
#include "signature/Signature.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>

namespace {

bool isValidUtf8(std::string_view text)
{
    while (!text.empty()) {
        std::uint32_t codePoint = 0;
        const std::size_t length = triage::sequenceLength(text, codePoint);
        if (length == 0) {
            return false;
        }
        text.remove_prefix(length);
    }
    return true;
}

std::size_t codePoints(std::string_view text)
{
    std::size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

bool isPrintableLine(std::string_view text, std::size_t maxBytes)
{
    const auto control = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; };
    return text.size() <= maxBytes && isValidUtf8(text) && std::ranges::none_of(text, control);
}

void checkSignature(std::span<const unsigned char> report)
{
    static const triage::SkipRules rules = triage::SkipRules::builtIn();
    const triage::Signature signature = triage::computeSignature(report, rules);
    const bool bounded = signature.frames.size() <= triage::kMaxFrames
        && isPrintableLine(signature.text, triage::kMaxTextBytes) && isPrintableLine(signature.title, 4 * triage::kMaxTitleCodePoints)
        && codePoints(signature.title) <= triage::kMaxTitleCodePoints && triage::html::isSafeGroupId(signature.id);
    bool factsBounded = true;
    for (const std::string* fact : {&signature.facts.host, &signature.facts.unit, &signature.facts.executable, &signature.facts.signal}) {
        factsBounded = factsBounded && isPrintableLine(*fact, triage::kMaxFactBytes);
    }
    if (!bounded || !factsBounded || triage::computeSignature(report, rules).id != signature.id) {
        std::abort();
    }
}

void checkPage(std::string_view report)
{
    std::string html;
    triage::html::appendPreformatted(html, report);
    if (!isValidUtf8(html) || html.find_first_of("<>\"'") != std::string::npos) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    checkSignature(std::span<const unsigned char>(data, size));
    checkPage(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
