// The kernel's reports: what its first line says went wrong, made stable,
// and the function that the kernel's own conventions name it by.

#include "signature/Characters.h"
#include "signature/Formats.h"
#include "signature/KernelHeaders.h"
#include "signature/KernelLines.h"
#include "signature/Normalize.h"

#include <algorithm>
#include <array>

namespace triage {

namespace {

constexpr auto npos = std::string_view::npos;
// How far after a report's first line its stack or lock line may start.
constexpr std::size_t kSearchLines = 400;

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
