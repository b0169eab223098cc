#include "signature/KernelLines.h"

#include "signature/Characters.h"
#include "signature/Formats.h"
#include "signature/Normalize.h"

#include <algorithm>
#include <array>

namespace triage {

namespace {

constexpr auto npos = std::string_view::npos;

}  // namespace

std::string_view withoutAddresses(std::string_view text)
{
    while (text.starts_with('[')) {
        const std::size_t close = text.find(']');
        const std::string_view inside = text.substr(1, close == npos ? 0 : close - 1);
        const std::string_view digits = inside.starts_with('<') && inside.ends_with('>') ? inside.substr(1, inside.size() - 2) : inside;
        if (close == npos || digits.empty() || !std::ranges::all_of(digits, isHexDigit)) {
            break;
        }
        text = trimLeft(text.substr(close + 1));
    }
    return text;
}

namespace {

// "<IRQ>", "</IRQ>", "<TASK>", "<NMI>", "<EOI>", "<SOFTIRQ>": where a stack
// changes context. A frame may follow on the same line.
std::size_t contextMarkerLength(std::string_view text)
{
    if (!text.starts_with('<')) {
        return 0;
    }
    const std::size_t close = text.find('>');
    const std::string_view name = text.substr(text.starts_with("</") ? 2 : 1, close == npos ? 0 : close - (text.starts_with("</") ? 2 : 1));
    const bool marker = !name.empty() && name.size() <= 8 && std::ranges::all_of(name, [](char c) { return c >= 'A' && c <= 'Z'; });
    return marker ? close + 1 : 0;
}

// "RSP: 0018:ffffc90001e77b48", "R13: 0000", "Code: 48 8b", "sp : ffff", "x29: ffff": a register's line.
bool isRegisterLine(std::string_view text)
{
    const std::size_t colon = text.find(':');
    if (colon == npos || colon == 0 || colon > 8 || !isAlpha(text.front())) {
        return false;
    }
    const std::string_view name = trim(text.substr(0, colon));
    return std::ranges::all_of(name, [](char c) { return isAlpha(c) || isDigit(c); }) &&
           (colon + 1 == text.size() || text[colon + 1] == ' ' || isHexDigit(text[colon + 1]));
}

// The length of the name that starts `text`: up to its first space outside
// brackets, as "<T as Trait>::f" holds spaces.
std::size_t nameLength(std::string_view text)
{
    int depth = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' && depth <= 0) {
            return i;
        }
        depth += c == '<' || c == '(' ? 1 : c == '>' || c == ')' ? -1 : 0;
    }
    return text.size();
}

// A source location after a symbolised frame: "lib/dump_stack.c:88".
bool isSourceLocation(std::string_view word)
{
    const std::size_t colon = word.find(':');
    const std::string_view path = word.substr(0, colon);
    const auto pathChar = [](char c) { return isAlpha(c) || isDigit(c) || c == '/' || c == '.' || c == '_' || c == '-'; };
    return colon != npos && colon + 1 < word.size() && isDigit(word[colon + 1]) && contains(path, ".") && std::ranges::all_of(path, pathChar);
}

// The frame of a register's line: "RIP: 0010:f+0x12/0x40", "pc : f+0x12/0x40",
// "PC is at f+0x12/0x40"; the link register's caller repeats the stack's next frame.
KernelLine readRegisterFrame(std::string_view text)
{
    static constexpr std::array<std::string_view, 5> kPrefixes{"RIP: ", "EIP: ", "IP: ", "pc : ", "PC is at "};
    for (const auto prefix : kPrefixes) {
        if (text.starts_with(prefix)) {
            std::string_view rest = trimLeft(text.substr(prefix.size()));
            // "0010:f+0x12/0x40": the code segment first.
            const std::size_t segment = rest.find_first_not_of("0123456789abcdef");
            rest = segment != npos && segment > 0 && rest[segment] == ':' ? rest.substr(segment + 1) : rest;
            const std::string_view function = kernelFrameFunction(withoutAddresses(rest));
            return {function.empty() ? KernelLine::Context : KernelLine::Frame, function, true};
        }
    }
    return {KernelLine::Other, {}};
}

}  // namespace

std::string_view kernelFrameFunction(std::string_view text)
{
    if (text.empty() || !(isAlpha(text.front()) || text.front() == '_' || text.front() == '<')) {
        return {};
    }
    const std::string_view name = text.substr(0, nameLength(text));
    if (contains(name, "+0x")) {
        return name;
    }
    const std::string_view rest = trimLeft(from(text, name.size()));
    const std::string_view word = rest.substr(0, rest.find(' '));
    return isSourceLocation(word) && name.find_first_of(":;,") == npos ? name : std::string_view();
}

bool hasKernelStamp(std::string_view line)
{
    const std::string_view text = trimLeft(line);
    return text.starts_with('[') && withoutKernelStamp(text).size() != text.size();
}

std::string_view kernelCaller(std::string_view line)
{
    const std::string_view text = trimLeft(line);
    const std::size_t close = text.substr(0, 22).find("][");
    if (!text.starts_with('[') || close == npos) {
        return {};
    }
    const std::size_t end = text.find(']', close + 2);
    return end == npos || end > close + 12 ? std::string_view() : trim(text.substr(close + 2, end - close - 2));
}

KernelLine readKernelLine(std::string_view line)
{
    std::string_view text = trim(withoutKernelStamp(trimLeft(line)));
    if (text.starts_with("</TASK>") || text.starts_with("---[ end")) {
        return {KernelLine::End, {}};
    }
    bool marked = false;
    for (std::size_t length = contextMarkerLength(text); length > 0; length = contextMarkerLength(text)) {
        text = trimLeft(text.substr(length));
        marked = true;
    }
    static constexpr std::array<std::string_view, 4> kTraceStarts{"Call Trace:", "Call trace:", "Backtrace:", "backtrace:"};
    if (std::ranges::any_of(kTraceStarts, [text](auto start) { return text.starts_with(start); })) {
        return {KernelLine::Context, {}, false, true};
    }
    if (marked && text.empty()) {
        return {KernelLine::Context, {}};
    }
    if (const KernelLine frame = readRegisterFrame(text); frame.type != KernelLine::Other) {
        return frame;
    }
    text = withoutAddresses(text);
    if (text.starts_with("? ") || text.ends_with("(unreliable)")) {
        return {KernelLine::Unreliable, {}};
    }
    // 32-bit ARM: "[<c0312f64>] (show_stack) from [<c0a5a3c4>] (dump_stack+0x98/0xac)".
    if (text.starts_with('(') && contains(text, ") from ")) {
        const std::string_view function = text.substr(1, text.find(')') - 1);
        return {function.empty() ? KernelLine::Other : KernelLine::Frame, function};
    }
    if (const std::string_view function = kernelFrameFunction(text); !function.empty()) {
        return {KernelLine::Frame, function};
    }
    return {isRegisterLine(text) ? KernelLine::Context : KernelLine::Other, {}};
}

std::string normaliseKernelFunction(std::string_view function)
{
    std::string name = normaliseFunction(function);
    static constexpr std::array<std::string_view, 8> kWrappers{"__x64_", "__ia32_", "__arm64_", "__riscv_", "__s390x_", "__s390_", "__se_", "__do_"};
    for (bool stripped = true; stripped;) {
        stripped = false;
        for (const auto wrapper : kWrappers) {
            const std::string_view rest = from(name, wrapper.size());
            if (name.starts_with(wrapper) && (rest.starts_with("sys_") || rest.starts_with("compat_sys_") || rest.starts_with("__"))) {
                name.erase(0, wrapper.size());
                stripped = true;
            }
        }
    }
    for (const std::string_view old : {"SyS_", "SYSC_", "compat_SyS_"}) {
        if (name.starts_with(old)) {
            name = (old.starts_with("compat") ? "compat_sys_" : "sys_") + name.substr(old.size());
        }
    }
    return name;
}

}  // namespace triage
