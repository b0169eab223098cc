#pragma once

// Private to signature/.

// The report formats that carry a stack or an error kind: which one a
// report's lines are in, and the kind and frames that each gives.

#include "signature/Signature.h"
#include "signature/SkipRules.h"

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace triage {

using Lines = std::span<const std::string_view>;

// In the order in which they are preferred where a report holds several: a
// sanitizer's report holds numbered frames, a unit's journal may hold a
// traceback beside a kernel's lines.
enum class Format { Sanitizer, Python, Java, Go, GoRace, Rust, Kernel, CoreDump, Gdb, BacktraceSymbols, None };

struct Detection {
    Format format = Format::None;
    std::size_t line = 0;  // where the format's report starts
};

// The format of `lines`; the facts that they state go to `facts`, where it has none yet.
Detection detectFormat(Lines lines, ReportFacts& facts);
// The facts alone.
void readFacts(Lines lines, ReportFacts& facts);
// The version that a "Version: " line among the first kVersionLines of
// `lines` states, if facts has none yet.
void readVersion(Lines lines, ReportFacts& facts);

// "SIGSEGV" for a shell's "Segmentation fault (core dumped)"; else empty.
std::string_view shellSignal(std::string_view trimmed);

// Whether a line starts one of the kernel's reports (KernelReports.cpp).
bool startsKernelReport(std::string_view line);

// Collects the frames that identify a bug: normalised, without those that
// the rules skip or that repeat the one before (recursion), at most kMaxFrames.
class FrameSink {
public:
    // The frames read from one stack, kept or not, a recursion's repeats
    // aside: a real stack's crashing frames come far earlier, and a report
    // made of frames to skip costs no more.
    static constexpr std::size_t kMaxReadFrames = 512;

    // Keeps at most `limit` frames, leaving out those that the rules of
    // `platforms` skip.
    FrameSink(const SkipRules& rules, Platforms platforms, std::size_t limit = kMaxFrames)
        : rules_(rules), platforms_(platforms), limit_(limit)
    {
    }

    // The frame of `function`, or of the module where the function is
    // unknown ("??", "n/a", empty).
    void add(std::string_view function, std::string_view module = {});
    // A frame that is no function name (a source file, a message), as it is.
    void addText(std::string frame);
    // Whether more frames would change nothing.
    bool done() const { return frames_.size() >= limit_ || read_ >= kMaxReadFrames; }
    bool empty() const { return frames_.empty(); }
    std::vector<std::string> take() { return std::move(frames_); }

private:
    const SkipRules& rules_;
    Platforms platforms_;
    std::size_t limit_;
    std::vector<std::string> frames_;
    std::string last_;
    // The frame read last, as the report has it: a recursion repeats it.
    std::string_view lastFunction_;
    std::string_view lastModule_;
    std::size_t read_ = 0;
};

struct Findings {
    std::string kind;
    std::vector<std::string> frames;
    std::string executable;  // where the format names the program
};

// The kind and frames of a report in `detection`'s format. `facts` give the
// signal of a native crash and the host name to leave out of messages.
Findings readFormat(Detection detection, Lines lines, const ReportFacts& facts, const SkipRules& rules);

// Each reads the report of its format whose first line is lines[start].
// NativeStacks.cpp:
Findings readSanitizer(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules);
// KernelReports.cpp:
Findings readKernel(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules);
Findings readCoreDump(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules);
Findings readGdb(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules);
Findings readBacktraceSymbols(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules);
// RuntimeStacks.cpp:
Findings readPython(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules);
Findings readJava(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules);
Findings readRust(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules);
// GoReports.cpp:
Findings readGo(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules);
Findings readGoRace(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules);

// What a program's own check said before it aborted: "Check failed" and
// "offset <= size in span_reader.cc" for "[...:FATAL:span_reader.cc(207)]
// Check failed: offset <= size (a vs. b)".
struct CheckFailure {
    std::string kind;
    std::string frame;  // the condition, and the file where the program names it
};

// The first check failure that lines before `end` state (CheckFailures.cpp).
std::optional<CheckFailure> findCheckFailure(Lines lines, std::size_t end);

// The words at the start of a message that name the error, up to one that
// holds a value, a location or a quote, at most eight: "index out of range"
// for "index out of range [5] with length 3".
std::string leadingWords(std::string_view message);

// A Go function by its package's name alone: "kernel.(*Task).Run" for
// "example.com/sandbox/pkg/kernel.(*Task).Run".
std::string_view withoutPackagePath(std::string_view function);

// "src/main.rs" for "src/main.rs:12:5" and "src/main.rs:12".
std::string_view withoutLineNumbers(std::string_view location);

// Line helpers that the formats and the signature share.
std::string_view trimLeft(std::string_view text);
std::string_view trim(std::string_view text);
bool startsIndented(std::string_view line);
// The line without the kernel's "[12345.678901] " time stamp.
std::string_view withoutKernelStamp(std::string_view line);

inline bool contains(std::string_view text, std::string_view piece) { return text.find(piece) != std::string_view::npos; }

// `text` from `at` on; empty where `at` is past its end.
inline std::string_view from(std::string_view text, std::size_t at)
{
    return at < text.size() ? text.substr(at) : std::string_view();
}

// "#3  0x00007f3a2b4c5d6e in parse_header (...)": a frame of gdb, a core
// dump's information or a sanitizer.
inline bool isNumberedFrame(std::string_view trimmed)
{
    return trimmed.size() > 1 && trimmed[0] == '#' && trimmed[1] >= '0' && trimmed[1] <= '9';
}

// A line of backtrace_symbols(): "./app(parse_header+0x1a)[0x55d1c0ffee12]",
// "/lib/x86_64-linux-gnu/libc.so.6(+0x3c4fc) [0x7f3a2b43c4fc]", "[0x7f3a2b43c4fc]".
// A crash handler's own shape of it: "/usr/lib/libfoo.so.9 : ()+0x180f95 [0x7f3a2b58f95]",
// "/usr/bin/app : parse_header(char const*)+0x1a [0x55d1c0ffee12]".
inline bool isSymbolLine(std::string_view trimmed)
{
    const bool handlers = contains(trimmed, " : ") && contains(trimmed, "+0x") && contains(trimmed, " [0x");
    return trimmed.ends_with(']') &&
           (trimmed.starts_with("[0x") || contains(trimmed, ")[0x") || contains(trimmed, ") [0x") || handlers);
}

// The object file and the symbol of such a line: "libc.so.6" and "" for
// "/lib/libc.so.6(+0x3c4fc) [0x7f3a2b43c4fc]", "app" and "parse_header" for
// "/usr/bin/app : parse_header(char const*)+0x1a [0x55d1c0ffee12]".
struct SymbolLine {
    std::string_view module;
    std::string_view function;
};
SymbolLine readSymbolLine(std::string_view trimmed);

}  // namespace triage
