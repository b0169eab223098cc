// The kernel's reports: what its first line says went wrong, made stable,
// and the function that the kernel's own conventions name it by.

#include "signature/Characters.h"
#include "signature/Formats.h"
#include "signature/KernelLines.h"
#include "signature/Normalize.h"

#include <algorithm>
#include <array>

namespace triage {

namespace {

constexpr auto npos = std::string_view::npos;
// How far after a report's first line its stack or lock line may start.
constexpr std::size_t kSearchLines = 400;

// Where a kind of report names its function.
enum class Locate {
    Stack,          // the first frame not skipped of its faulting frame and call trace
    FirstFrames,    // the first frame not skipped of the first frames that follow it
    Header,         // its first line's "in f+0x12/0x40", else its stack
    HeaderPair,     // "in f+0x12/0x40 / g+0x8/0x20": both
    Warning,        // "WARNING: CPU: 1 PID: 42 at x.c:12 f+0x12/0x40", else its stack
    LockAcquired,   // the lock that "is trying to acquire", else its stack
    LockHeld,       // the first lock held, "at: f+0x12/0x40", else its stack
    WorkFunction,   // "last function: f", else its stack
    Dispatched,     // the handler that the innermost dispatcher called
    Nothing,        // its message alone names it
};

struct Header {
    std::string_view start;
    std::string_view kind;  // empty: the first line made stable
    Locate locate;
    std::string_view needs = {};  // a piece the line must hold besides
};

// The kernel's reports by how their first line starts, most specific first.
constexpr std::array kHeaders = std::to_array<Header>({
    {"BUG: KASAN: ", "", Locate::Header},
    {"BUG: KMSAN: ", "", Locate::Header},
    {"BUG: KCSAN: ", "", Locate::HeaderPair},
    {"BUG: KFENCE: ", "", Locate::Header},
    {"BUG: kernel NULL pointer dereference", "BUG: unable to handle kernel NULL pointer dereference", Locate::Stack},
    {"BUG: unable to handle kernel NULL pointer dereference", "BUG: unable to handle kernel NULL pointer dereference", Locate::Stack},
    {"BUG: unable to handle kernel paging request", "BUG: unable to handle kernel paging request", Locate::Stack},
    {"BUG: unable to handle page fault", "BUG: unable to handle kernel paging request", Locate::Stack},
    {"BUG: soft lockup", "BUG: soft lockup", Locate::Dispatched},
    {"BUG: stack guard page was hit", "BUG: stack guard page was hit", Locate::Dispatched},
    {"BUG: TASK stack guard page was hit", "BUG: stack guard page was hit", Locate::Dispatched},
    {"BUG: IRQ stack guard page was hit", "BUG: stack guard page was hit", Locate::Dispatched},
    {"BUG: memory leak", "memory leak", Locate::Stack},
    {"BUG: held lock freed", "BUG: held lock freed", Locate::LockHeld},
    {"[ BUG: held lock freed", "BUG: held lock freed", Locate::LockHeld},
    {"BUG: MAX_STACK_TRACE_ENTRIES too low", "BUG: MAX_STACK_TRACE_ENTRIES too low", Locate::Nothing},
    {"BUG: workqueue leaked lock or atomic", "BUG: workqueue leaked lock or atomic", Locate::WorkFunction},
    {"BUG: ", "", Locate::Stack},
    {"kernel BUG at ", "kernel BUG", Locate::Stack},
    {"general protection fault", "general protection fault", Locate::Stack},
    {"GPF could be caused by", "general protection fault", Locate::Stack},
    {"Oops: general protection fault", "general protection fault", Locate::Stack},
    {"segment-related general protection fault", "general protection fault", Locate::Stack},
    {"Oops: int3", "int3", Locate::Stack},
    {"int3: ", "int3", Locate::Stack},
    {"divide error: ", "divide error", Locate::Stack},
    {"divide_error: ", "divide error", Locate::Stack},
    {"Oops: divide error", "divide error", Locate::Stack},
    {"stack segment: ", "stack segment fault", Locate::Stack},
    {"Oops: stack segment", "stack segment fault", Locate::Stack},
    {"PANIC: double fault", "PANIC: double fault", Locate::Stack},
    {"WARNING: possible circular locking dependency", "possible deadlock", Locate::LockAcquired},
    {"WARNING: possible recursive locking", "possible deadlock", Locate::LockAcquired},
    {"WARNING: ", "possible deadlock", Locate::FirstFrames, "lock order detected"},
    {"WARNING: inconsistent lock state", "inconsistent lock state", Locate::Stack},
    {"WARNING: suspicious RCU usage", "WARNING: suspicious RCU usage", Locate::Stack},
    {"WARNING: kernel stack regs", "WARNING: kernel stack regs has bad value", Locate::Nothing},
    {"WARNING: kernel stack frame pointer", "WARNING: kernel stack frame pointer has bad value", Locate::Nothing},
    {"WARNING: ", "WARNING: still has locks held", Locate::LockHeld, " still has locks held"},
    {"WARNING: CPU: ", "WARNING", Locate::Warning},
    {"WARNING: at ", "WARNING", Locate::Warning},
    {"WARNING: ", "", Locate::Stack},
    {"INFO: task ", "INFO: task hung", Locate::Stack},
    {"INFO: rcu", "INFO: rcu detected stall", Locate::Dispatched, "stall"},
    {"INFO: trying to register non-static key", "INFO: trying to register non-static key", Locate::Stack},
    {"INFO: ", "", Locate::Stack},
    {"Kernel panic - not syncing: corrupted stack end", "kernel panic: corrupted stack end", Locate::Dispatched},
    {"Kernel panic - not syncing: stack-protector:", "kernel panic: stack is corrupted", Locate::Header},
    {"Kernel panic - not syncing: ", "", Locate::Stack},
    {"UBSAN: ", "", Locate::Stack},
    {"Unable to handle kernel ", "", Locate::Stack},
    {"Internal error: ", "", Locate::Stack},
    {"Unhandled fault: ", "", Locate::Stack},
    {"unregister_netdevice: waiting for ", "unregister_netdevice: waiting for DEV to become free", Locate::Nothing},
    {"panicked at ", "", Locate::Stack},
});

// Lines that start with these are kernel reports only where the kernel's
// time stamp shows that the kernel wrote them: programs write them too.
constexpr std::array<std::string_view, 4> kCommonStarts{"BUG: ", "WARNING: ", "INFO: ", "panicked at "};

// What starts a kernel line after its prefixes: "watchdog: ", "rcu: ",
// "usb 5-1: " and a log's "2018/01/09 14:28:48 ".
std::string_view withoutLinePrefix(std::string_view text)
{
    const bool logTime = text.size() > 20 && isDigit(text[0]) && text[4] == '/' && text[7] == '/' && text[13] == ':' && text[19] == ' ';
    if (logTime) {
        return trimLeft(text.substr(20));
    }
    // Prefixes are short: the search need not go through a long line.
    const std::size_t colon = text.substr(0, 26).find(": ");
    const bool shortPrefix = colon != npos && colon > 0 && colon < 24 && isAlpha(text.front()) &&
                             text.substr(0, colon).find_first_of(":[(") == npos;
    return shortPrefix ? trimLeft(text.substr(colon + 2)) : text;
}

const Header* headerOf(std::string_view text, bool stamped)
{
    // Most lines start with none: one look at the first character tells.
    if (text.empty() || std::string_view("BOkgsdUWIKPpuiSRG[").find(text.front()) == npos) {
        return nullptr;
    }
    for (const Header& header : kHeaders) {
        if (header.start.front() == text.front() && text.starts_with(header.start) &&
            (header.needs.empty() || contains(text, header.needs))) {
            const bool common = std::ranges::find(kCommonStarts, header.start) != kCommonStarts.end();
            return common && !stamped ? nullptr : &header;
        }
    }
    return nullptr;
}

struct Found {
    const Header* header = nullptr;
    std::string_view text;  // the line from where the header starts
};

Found findHeader(std::string_view line)
{
    std::string_view text = trimLeft(line);
    bool stamped = false;
    // Prefixes may nest: "host login: [  417.7][ C1] rcu: INFO: ...".
    for (int prefixes = 0; prefixes < 4; ++prefixes) {
        const std::string_view unstamped = withoutKernelStamp(text);
        stamped = stamped || unstamped.size() != text.size();
        if (const Header* header = headerOf(unstamped, stamped); header != nullptr) {
            return {header, unstamped};
        }
        const std::string_view next = withoutLinePrefix(unstamped);
        if (next.size() == unstamped.size()) {
            break;
        }
        text = next;
    }
    return {};
}

// The first line made stable: up to the first value, without numbers.
// "BUG: scheduling while atomic" for "BUG: scheduling while atomic: prog/12771/0x00000002",
// "ODEBUG: free active" for "ODEBUG: free active (active state 0) object type: ...".
std::string stableLine(std::string_view text, std::string_view host)
{
    static constexpr std::array<std::string_view, 7> kEnds{", ", " at ", " in ", " [", " (", ": ", " - CPU#"};
    std::size_t end = text.size();
    for (const auto mark : kEnds) {
        for (std::size_t at = text.find(mark); at != npos && at < end; at = text.find(mark, at + 1)) {
            const std::string_view next = from(text, at + mark.size());
            const bool value = std::any_of(next.begin(), std::find(next.begin(), next.end(), ' '), isDigit);
            if (mark != ": " || value) {
                end = at;
                break;
            }
        }
    }
    std::string_view stable = text.substr(0, end);
    stable = stable.substr(0, stable.find_last_not_of("!. ") + 1);
    return normaliseText(stable, host);
}

// "use-after-free Read" for "BUG: KASAN: use-after-free in f+0x12/0x40"
// and its next line "Read of size 4 at addr ...".
std::string sanitizerKind(std::string_view text, Lines lines, std::size_t header)
{
    const std::size_t tool = text.find(": ", 5) + 2;
    const std::string_view type = from(text, tool);
    std::string kind(text.substr(5, tool - 5));
    kind += type.substr(0, std::min(type.size(), type.find(' ')));
    for (std::size_t i = header + 1; i < std::min(lines.size(), header + 3); ++i) {
        const std::string_view next = withoutKernelStamp(trimLeft(lines[i]));
        if (next.starts_with("Read ") || next.starts_with("Write ")) {
            return kind + " " + std::string(next.substr(0, next.find(' ')));
        }
    }
    return kind;
}

// "UBSAN: array-index-out-of-bounds", "UBSAN: undefined-behaviour" for the old "Undefined behaviour in".
std::string ubsanKind(std::string_view text)
{
    const std::string_view type = text.substr(7);
    if (type.starts_with("Undefined behaviour")) {
        return "UBSAN: undefined-behaviour";
    }
    return "UBSAN: " + std::string(type.substr(0, std::min(type.size(), type.find(' '))));
}

// A Rust panic's kind is its message, on the line after "panicked at file.rs:12:5:".
std::string rustKind(Lines lines, std::size_t header, std::string_view host)
{
    const std::string_view message = header + 1 < lines.size() ? withoutKernelStamp(trimLeft(lines[header + 1])) : "";
    return message.empty() ? "kernel panic" : normaliseText(message, host);
}

std::string kindOf(const Found& found, Lines lines, std::size_t header, std::string_view host)
{
    if (!found.header->kind.empty()) {
        return std::string(found.header->kind);
    }
    const std::string_view start = found.header->start;
    if (start.starts_with("BUG: K")) {
        return sanitizerKind(found.text, lines, header);
    }
    if (start == "UBSAN: ") {
        return ubsanKind(found.text);
    }
    if (start == "panicked at ") {
        return rustKind(lines, header, host);
    }
    if (start.starts_with("Kernel panic")) {
        return "kernel panic: " + stableLine(found.text.substr(start.size()), host);
    }
    return stableLine(found.text, host);
}

// The function after `mark` in `text`: "f" for "... in f+0x12/0x40 [mod]";
// for "last function: f", the name alone.
std::string_view functionAfter(std::string_view text, std::string_view mark)
{
    const std::size_t at = text.find(mark);
    if (at == npos) {
        return {};
    }
    const std::string_view rest = withoutAddresses(trimLeft(text.substr(at + mark.size())));
    const std::string_view function = kernelFrameFunction(rest);
    const std::string_view word = rest.substr(0, rest.find(' '));
    const bool name = !word.empty() && (isAlpha(word.front()) || word.front() == '_') &&
                      std::ranges::all_of(word, [](char c) { return isAlpha(c) || isDigit(c) || c == '_' || c == '.'; });
    return function.empty() && name ? word : function;
}

// The index of the first line from `first` that holds `piece`, or npos.
std::size_t findLine(Lines lines, std::size_t first, std::string_view piece)
{
    for (std::size_t i = first; i < lines.size() && i - first < kSearchLines; ++i) {
        if (contains(lines[i], piece)) {
            return i;
        }
    }
    return npos;
}

// The function that the lines from `first` name after their first `mark`.
std::string_view markedFunction(Lines lines, std::size_t first, std::string_view mark)
{
    const std::size_t at = findLine(lines, first, mark);
    return at == npos ? std::string_view() : functionAfter(lines[at], mark);
}

// Adds the frames of the stack that starts on lines[first]: up to the first
// line that is no part of a stack. Lines without the kernel's time stamp
// amid stamped ones are other programs' output on the same console, and
// those stamped for another task or CPU are that one's.
void addStack(Lines lines, std::size_t first, FrameSink& sink)
{
    const bool stamped = first < lines.size() && hasKernelStamp(lines[first]);
    const std::string_view caller = first < lines.size() ? kernelCaller(lines[first]) : std::string_view();
    for (std::size_t i = first; i < lines.size() && !sink.done(); ++i) {
        if (!caller.empty() && kernelCaller(lines[i]) != caller && hasKernelStamp(lines[i])) {
            continue;  // another task's line
        }
        const KernelLine line = readKernelLine(lines[i]);
        if (line.type == KernelLine::Frame) {
            sink.add(line.function);
        } else if (line.type == KernelLine::End || (line.type == KernelLine::Other && (!stamped || hasKernelStamp(lines[i])))) {
            break;
        }
    }
}

// Where the stack of the report from lines[header] starts: its faulting
// frame's register line ("RIP: 0010:f+0x12/0x40"), else its "Call Trace:",
// else, with `anyFrame`, its first frame.
std::size_t stackStart(Lines lines, std::size_t header, bool anyFrame)
{
    std::size_t firstFrame = npos;
    for (std::size_t i = header + 1; i < lines.size() && i - header <= kSearchLines; ++i) {
        const KernelLine line = readKernelLine(lines[i]);
        if (line.type == KernelLine::Frame && firstFrame == npos) {
            firstFrame = i;
        }
        if (line.registers || line.traceStart || (anyFrame && firstFrame != npos)) {
            return i;
        }
    }
    return firstFrame;
}

std::size_t findTraceStart(Lines lines, std::size_t first)
{
    for (std::size_t i = first; i < lines.size() && i - first < kSearchLines; ++i) {
        if (readKernelLine(lines[i]).traceStart) {
            return i;
        }
    }
    return npos;
}

// Adds the frames of the report's stack: its faulting frame, then its call trace.
void addReportStack(Lines lines, std::size_t header, FrameSink& sink, bool anyFrame)
{
    const std::size_t start = stackStart(lines, header, anyFrame);
    if (start == npos) {
        return;
    }
    const KernelLine line = readKernelLine(lines[start]);
    if (line.registers) {
        // The faulting frame's registers come before its call trace.
        if (line.type == KernelLine::Frame) {
            sink.add(line.function);
        }
        const std::size_t trace = findTraceStart(lines, start + 1);
        addStack(lines, trace == npos ? start + 1 : trace, sink);
        return;
    }
    addStack(lines, start, sink);
}

// The handler that the innermost dispatcher called, read through every
// stack from `first` on: the stack of a stall holds the timer interrupt
// that reported it, then what it interrupted.
std::string dispatchedHandler(Lines lines, std::size_t first, const SkipRules& rules)
{
    std::string callee;
    for (std::size_t i = first; i < lines.size(); ++i) {
        const KernelLine line = readKernelLine(lines[i]);
        if (line.type == KernelLine::Other || line.type == KernelLine::End) {
            callee.clear();
        }
        if (line.type != KernelLine::Frame) {
            continue;
        }
        std::string function = normaliseKernelFunction(line.function);
        if (!callee.empty() && rules.dispatches(function) && !rules.dispatches(callee) &&
            !rules.skips(callee, {Platform::Kernel})) {
            return callee;
        }
        callee = std::move(function);
    }
    return {};
}

// Adds the function that `found`'s kind of report is named by.
void locateFunction(const Found& found, Lines lines, std::size_t header, FrameSink& sink, const SkipRules& rules)
{
    switch (found.header->locate) {
    case Locate::Header:
        sink.add(functionAfter(found.text, found.header->start.starts_with("Kernel") ? " in: " : " in "));
        break;
    case Locate::HeaderPair: {
        const std::string_view first = functionAfter(found.text, " in ");
        const std::string_view second = functionAfter(found.text, " / ");
        if (!first.empty() && !second.empty()) {
            sink.addText(normaliseKernelFunction(first) + " / " + normaliseKernelFunction(second));
        }
        break;
    }
    case Locate::Warning:
        sink.add(functionAfter(from(found.text, found.text.find(" at ") + 4), " "));
        break;
    case Locate::LockAcquired:
        sink.add(markedFunction(lines, findLine(lines, header, "is trying to acquire"), "at: "));
        break;
    case Locate::LockHeld:
        sink.add(markedFunction(lines, header, "at: "));
        break;
    case Locate::WorkFunction:
        sink.add(markedFunction(lines, header, "last function: "));
        break;
    case Locate::Dispatched:
        sink.addText(dispatchedHandler(lines, header + 1, rules));
        break;
    case Locate::Stack:
    case Locate::FirstFrames:
    case Locate::Nothing:
        break;
    }
    if (sink.empty() && found.header->locate != Locate::Nothing) {
        addReportStack(lines, header, sink, found.header->locate == Locate::FirstFrames);
    }
}

}  // namespace

bool startsKernelReport(std::string_view line) { return findHeader(line).header != nullptr; }

Findings readKernel(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules)
{
    const Found found = findHeader(lines[start]);
    if (found.header == nullptr) {
        return {};
    }
    // A report is named by one function, as the kernel's developers name
    // it: its callers vary with how it was reached.
    FrameSink sink(rules, {Platform::Kernel}, 1);
    locateFunction(found, lines, start, sink, rules);
    return {kindOf(found, lines, start, facts.host), sink.take(), {}};
}

}  // namespace triage
