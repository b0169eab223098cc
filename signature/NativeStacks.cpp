// The stacks of native code: core dump information, gdb, the C library's
// backtrace_symbols() and sanitizers.

#include "signature/Characters.h"
#include "signature/Formats.h"
#include "signature/Normalize.h"

#include <algorithm>
#include <array>

namespace triage {

namespace {

constexpr auto npos = std::string_view::npos;
// How far after its header a stack may start: a sanitizer's first frame
// follows the access's description, a core dump's its thread's line.
constexpr std::size_t kStackSearchLines = 16;

// A character of an address written in hexadecimal: 0x00007f3a2b4c5d6e.
bool isAddressChar(char c) { return c == 'x' || isHexDigit(c); }

// The index after the operator's symbol that starts at `at`, just after the
// word "operator", or `at` where none does: operator(), operator<<, operator new.
std::size_t skipOperator(std::string_view text, std::size_t at)
{
    const std::string_view rest = from(text, at);
    if (rest.starts_with("()")) {
        return at + 2;
    }
    if (rest.starts_with(' ')) {
        return at + 1;
    }
    return std::min(text.size(), text.find_first_not_of("<>=!+-*/%&|^~[],", at));
}

// The length of the function name that starts `text`: up to the first space
// outside brackets, so that C++ names with templates and types stay whole.
std::size_t functionLength(std::string_view text)
{
    int depth = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i >= 8 && text.substr(i - 8, 8) == "operator" && skipOperator(text, i) > i) {
            i = skipOperator(text, i);
            continue;
        }
        const char c = text[i++];
        if (c == ' ' && depth == 0) {
            return i - 1;
        }
        depth += c == '(' || c == '<' || c == '{' || c == '[' ? 1 : c == ')' || c == '>' || c == '}' || c == ']' ? -1 : 0;
        depth = std::max(depth, 0);
    }
    return text.size();
}

// The object file that a frame names after its function: "libc.so.6" in
// "(libc.so.6 + 0x3c4fc)" or "(/lib/libasan.so.8+0xbdd8f) (BuildId: 1f2e)",
// or after gdb's "from".
std::string_view moduleOf(std::string_view rest)
{
    if (const std::size_t fromWord = rest.find(" from "); fromWord != npos) {
        const std::string_view path = rest.substr(fromWord + 6);
        return baseName(path.substr(0, path.find(' ')));
    }
    for (std::size_t open = rest.find('('); open != npos; open = rest.find('(', open + 1)) {
        const std::string_view inside = rest.substr(open + 1, rest.find(')', open) - open - 1);
        if (const std::size_t plus = inside.find('+'); plus != npos) {
            return baseName(trim(inside.substr(0, plus)));
        }
    }
    return {};
}

bool isSanitizerRuntime(std::string_view location)
{
    static constexpr std::array<std::string_view, 8> kRuntimes{
        "libasan", "libtsan", "libubsan", "liblsan", "libhwasan", "libclang_rt", "compiler-rt/lib", "sanitizer_common"};
    return std::ranges::any_of(kRuntimes, [location](std::string_view runtime) { return contains(location, runtime); });
}

// Adds the frame of a numbered stack's line to `sink`:
// "#3  0x00007f3a in parse_header (buf=0x55..., len=12) at src/http.c:120", "#1  main () at x.c:3",
// "#2  0x00007f3a in ?? () from /lib/libc.so.6", "#0  0x00007f3a raise (libc.so.6 + 0x3c4fc)",
// "#0 0x4f7f3e in parse_header /src/http.c:120:9", "#0 Thread1 race.c:8 (exe+0x6e66)", "#0 0x4f7f3e  (/app+0x4f7f3e)".
void addNumberedFrame(std::string_view trimmed, FrameSink& sink)
{
    std::string_view text = trimLeft(from(trimmed, skipWhile(trimmed, [](char c) { return c == '#' || isDigit(c); })));
    if (text.starts_with("0x")) {
        text = trimLeft(from(text, skipWhile(text, isAddressChar)));
        text = text.starts_with("in ") ? text.substr(3) : text;
    }
    // A symbol with its return type: "void ns::f<...>(...)".
    static constexpr std::array<std::string_view, 7> kReturnTypes{"void ", "bool ", "int ", "long ", "char ", "unsigned ", "auto "};
    while (std::ranges::any_of(kReturnTypes, [text](std::string_view type) { return text.starts_with(type) && text.size() > type.size(); })) {
        text = trimLeft(text.substr(text.find(' ')));
    }
    std::string_view function = text.substr(0, functionLength(text));
    const std::string_view rest = from(text, function.size());
    if (isSanitizerRuntime(rest)) {
        return;
    }
    // A frame without a symbol names only its object file.
    function = function.starts_with('(') ? std::string_view() : function;
    sink.add(function, moduleOf(function.empty() ? text : rest));
}

// Adds the frames of the numbered stack that starts within a few lines from
// `first`. The stack ends at a blank or unindented line, or where another
// stack's frame #0 follows; indented lines between frames continue a frame.
void readNumberedStack(Lines lines, std::size_t first, FrameSink& sink)
{
    std::size_t i = first;
    for (const std::size_t end = std::min(lines.size(), first + kStackSearchLines); i < end; ++i) {
        if (isNumberedFrame(trimLeft(lines[i]))) {
            break;
        }
    }
    for (const std::size_t top = i; i < lines.size() && !sink.done(); ++i) {
        const std::string_view trimmed = trimLeft(lines[i]);
        if (isNumberedFrame(trimmed)) {
            if (i > top && trimmed.starts_with("#0 ")) {
                break;
            }
            addNumberedFrame(trimmed, sink);
        } else if (i == top || trimmed.empty() || !startsIndented(lines[i])) {
            break;
        }
    }
}

// "AddressSanitizer: heap-use-after-free" for "==1==ERROR: AddressSanitizer:
// heap-use-after-free on address 0x...", "UndefinedBehaviorSanitizer: signed
// integer overflow" for "x.c:3:5: runtime error: signed integer overflow: ...".
std::string sanitizerKind(std::string_view header)
{
    const std::size_t tool = header.find("Sanitizer:");
    if (tool == npos) {
        return "UndefinedBehaviorSanitizer: " + leadingWords(from(header, header.find(": runtime error: ") + 17));
    }
    const std::size_t name = header.find_last_of(" =", tool) + 1;
    const std::string what = leadingWords(header.substr(tool + 10));
    // A signal is the same bug under whichever sanitizer caught it.
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 8> kSignals{{
        {"SEGV", "SIGSEGV"}, {"access-violation", "SIGSEGV"}, {"FPE", "SIGFPE"}, {"ABRT", "SIGABRT"},
        {"ILL", "SIGILL"}, {"BUS", "SIGBUS"}, {"TRAP", "SIGTRAP"}, {"breakpoint", "SIGTRAP"}}};
    const auto signal = std::ranges::find(kSignals, what, &std::pair<std::string_view, std::string_view>::first);
    if (signal != kSignals.end()) {
        return std::string(signal->second);
    }
    return what == "stack-overflow" ? what : std::string(header.substr(name, tool + 9 - name)) + ": " + what;
}

// The frames of a stack overflow: those of the recursion that filled the
// stack, from its function first in name order, so that wherever the
// report's stack was cut and however deep the recursion was entered, it
// names the same frames; the first frames where there is none.
std::vector<std::string> recursionFrames(std::vector<std::string> frames)
{
    for (std::size_t end = 1; end < frames.size(); ++end) {
        const auto begin = std::find(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(end), frames[end]);
        if (begin != frames.begin() + static_cast<std::ptrdiff_t>(end)) {
            std::vector<std::string> cycle(begin, frames.begin() + static_cast<std::ptrdiff_t>(end));
            std::rotate(cycle.begin(), std::min_element(cycle.begin(), cycle.end()), cycle.end());
            cycle.resize(std::min(cycle.size(), kMaxFrames));
            return cycle;
        }
    }
    frames.resize(std::min(frames.size(), kMaxFrames));
    return frames;
}

// Where the crashed code's frames start. A signal handler that prints its
// stack shows its own frames first, then the C library's signal trampoline,
// which has no symbol.
std::size_t crashedFrame(Lines lines, std::size_t start, bool signalled)
{
    for (std::size_t i = start; signalled && i < std::min(lines.size(), start + kStackSearchLines); ++i) {
        const std::string_view text = trim(lines[i]);
        if (!isSymbolLine(text)) {
            break;
        }
        const SymbolLine symbol = readSymbolLine(text);
        if (baseName(symbol.module).starts_with("libc.so") && symbol.function.empty()) {
            return i + 1;
        }
    }
    return start;
}

// The number of the thread that a core file's "[Current thread is 2
// (Thread 0x7f3a2b4c5d6e (LWP 4243))]" names: "2".
std::string_view currentThread(std::string_view trimmed)
{
    const std::string_view number = from(trimmed, 19);
    return number.substr(0, number.find(' '));
}

// Where gdb's stack of the crashing thread starts. The frames above
// "<signal handler called>" are the handler's, run after the crash, so the
// first stack with one is the crashing thread's from there. Else the thread
// that a core file names current, whose stack "thread apply all bt" lists
// under "Thread 2 (...)"; else the first stack.
std::size_t crashingStack(Lines lines, std::size_t start)
{
    std::string_view current;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view trimmed = trimLeft(lines[i]);
        if (isNumberedFrame(trimmed) && contains(trimmed, "<signal handler called>")) {
            return i + 1;
        }
        if (current.empty() && trimmed.starts_with("[Current thread is ")) {
            current = currentThread(trimmed);
        }
    }
    for (std::size_t i = 0; !current.empty() && i < lines.size(); ++i) {
        const std::string_view number = from(lines[i], 7);
        if (lines[i].starts_with("Thread ") && number.starts_with(current) && from(number, current.size()).starts_with(" (")) {
            return i + 1;
        }
    }
    return start;
}

}  // namespace

Findings readSanitizer(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules)
{
    const std::string_view header = trimLeft(lines[start]);
    std::string kind = sanitizerKind(header);
    const bool overflow = kind == "stack-overflow";
    // Of a recursion, a cycle's worth of frames.
    FrameSink sink(rules, {Platform::Sanitizer, Platform::Native}, overflow ? FrameSink::kMaxReadFrames : kMaxFrames);
    readNumberedStack(lines, start + 1, sink);
    if (sink.empty() && !contains(header, "Sanitizer:")) {
        // "src/x.c:3:5: runtime error: ...": the source file stands in for the stack.
        sink.addText(normaliseText(withoutLineNumbers(header.substr(0, header.find(": runtime error: "))), facts.host));
    }
    return {std::move(kind), overflow ? recursionFrames(sink.take()) : sink.take(), {}};
}

Findings readCoreDump(Lines lines, std::size_t start, const ReportFacts&, const SkipRules& rules)
{
    FrameSink sink(rules, {Platform::Native});
    readNumberedStack(lines, start + 1, sink);
    return {{}, sink.take(), {}};
}

Findings readGdb(Lines lines, std::size_t start, const ReportFacts&, const SkipRules& rules)
{
    FrameSink sink(rules, {Platform::Native});
    readNumberedStack(lines, crashingStack(lines, start), sink);
    return {{}, sink.take(), {}};
}

Findings readBacktraceSymbols(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules)
{
    FrameSink sink(rules, {Platform::Native});
    for (std::size_t i = crashedFrame(lines, start, !facts.signal.empty()); i < lines.size() && !sink.done(); ++i) {
        const std::string_view text = trim(lines[i]);
        if (!isSymbolLine(text)) {
            break;
        }
        if (const SymbolLine symbol = readSymbolLine(text); !symbol.module.empty() || !symbol.function.empty()) {
            sink.add(symbol.function, symbol.module);
        }
    }
    return {{}, sink.take(), {}};
}

SymbolLine readSymbolLine(std::string_view trimmed)
{
    if (const std::size_t colon = trimmed.find(" : "); colon != npos && !contains(trimmed.substr(0, colon), "(")) {
        const std::string_view symbol = trimmed.substr(colon + 3, trimmed.find("+0x", colon) - colon - 3);
        return {trimmed.substr(0, colon), symbol.substr(0, symbol.find('('))};
    }
    const std::size_t open = trimmed.find('(');
    if (open == npos) {
        return {};
    }
    const std::string_view symbol = trimmed.substr(open + 1, trimmed.find(')', open) - open - 1);
    return {trimmed.substr(0, open), symbol.substr(0, symbol.find('+'))};
}

}  // namespace triage
