#include "signature/Formats.h"

#include "signature/Characters.h"
#include "signature/KernelLines.h"
#include "signature/Normalize.h"
#include "signature/Printable.h"

#include <algorithm>
#include <array>

namespace triage {

namespace {

constexpr auto npos = std::string_view::npos;

// "==12345==ERROR: AddressSanitizer: ...", "WARNING: ThreadSanitizer: ...".
bool startsSanitizerReport(std::string_view trimmed)
{
    const bool header = trimmed.starts_with("==") || (trimmed.starts_with("WARNING: ") && !trimmed.starts_with("WARNING: CPU: "));
    return header && contains(trimmed, "Sanitizer:");
}

// UndefinedBehaviorSanitizer's "src/x.c:12:5: runtime error: ...".
bool startsUbsanReport(std::string_view trimmed)
{
    const std::size_t error = trimmed.find(": runtime error: ");
    return error != npos && error > 0 && isDigit(trimmed[error - 1]);
}

// "\tat com.example.Parser.parse(Parser.java:42)"
bool isJavaFrame(std::string_view line, std::string_view trimmed)
{
    return startsIndented(line) && trimmed.starts_with("at ") && contains(trimmed, "(") && trimmed.ends_with(')');
}

// The format whose report a line starts, if any; a search through the line
// comes last, as most lines start none.
Format formatOfLine(std::string_view line, std::string_view trimmed)
{
    if (startsSanitizerReport(trimmed)) {
        return Format::Sanitizer;
    }
    if (trimmed.starts_with("Traceback (most recent call last):")) {
        return Format::Python;
    }
    if (trimmed.starts_with("Exception in thread \"") || isJavaFrame(line, trimmed)) {
        return Format::Java;
    }
    if (line.starts_with("panic: ") || line.starts_with("fatal error: ")) {
        return Format::Go;
    }
    if (trimmed.ends_with("WARNING: DATA RACE")) {
        return Format::GoRace;
    }
    if (const std::size_t panicked = trimmed.find("' panicked at "); panicked != npos && contains(trimmed.substr(0, panicked), "thread '")) {
        return Format::Rust;
    }
    if (startsKernelReport(line)) {
        return Format::Kernel;
    }
    if (trimmed.starts_with("Stack trace of thread ")) {
        return Format::CoreDump;
    }
    if (isNumberedFrame(trimmed)) {
        return Format::Gdb;
    }
    if (isSymbolLine(trimmed)) {
        return Format::BacktraceSymbols;
    }
    return startsUbsanReport(trimmed) ? Format::Sanitizer : Format::None;
}

// The signal that a line names after its word "signal": SIGSEGV for
// "signal 11 (SIGSEGV)", "Signal: 11 (SEGV)", "signal=SEGV" or "signal SIGSEGV".
std::string signalAfter(std::string_view text, std::size_t at)
{
    for (std::size_t end = 0; at < text.size(); at = end) {
        at = text.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", at);
        end = std::min(text.size(), text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", at));
        if (at == npos) {
            break;
        }
        if (std::string name = signalName(text.substr(at, end - at)); !name.empty()) {
            return name;
        }
    }
    return {};
}

struct FactLine {
    std::string_view prefix;
    std::string ReportFacts::*fact;
};

constexpr std::array<FactLine, 8> kFactLines{{
    {"host: ", &ReportFacts::host},
    {"Hostname: ", &ReportFacts::host},
    {"unit: ", &ReportFacts::unit},
    {"Unit: ", &ReportFacts::unit},
    {"COREDUMP_UNIT=", &ReportFacts::unit},
    {"Executable: ", &ReportFacts::executable},
    {"process: ", &ReportFacts::executable},
    {"Signal: ", &ReportFacts::signal},
}};

// Lines that name the signal of a crash: crash logs, gdb, Go, systemctl status.
constexpr std::array<std::string_view, 8> kSignalLines{
    "signal ", "Program terminated with signal ", "Program received signal ", "[signal ",
    "Fatal signal ", "Caught signal ", "Main PID: ", "Thread "};

// The first characters of kFactLines and kSignalLines: most lines start
// with none, and one look-up tells.
constexpr auto kFactLineStarts = [] {
    std::array<bool, 256> starts{};
    for (const auto& line : kFactLines) {
        starts[static_cast<unsigned char>(line.prefix.front())] = true;
    }
    for (const auto line : kSignalLines) {
        starts[static_cast<unsigned char>(line.front())] = true;
    }
    return starts;
}();

// What a shell says when a program it ran dies of a signal.
constexpr std::array<std::pair<std::string_view, std::string_view>, 5> kShellSignals{{
    {"Segmentation fault", "SIGSEGV"}, {"Aborted", "SIGABRT"}, {"Bus error", "SIGBUS"},
    {"Floating point exception", "SIGFPE"}, {"Illegal instruction", "SIGILL"}}};

}  // namespace

std::string_view shellSignal(std::string_view trimmed)
{
    const std::string_view status = trimmed.ends_with(" (core dumped)") ? trimmed.substr(0, trimmed.size() - 14) : trimmed;
    const auto found = std::ranges::find(kShellSignals, status, &std::pair<std::string_view, std::string_view>::first);
    return found == kShellSignals.end() ? std::string_view() : found->second;
}

namespace {

// Keeps the first statement of each fact.
void noteFact(std::string_view trimmed, ReportFacts& facts)
{
    if (const std::string_view signal = shellSignal(trimmed); !signal.empty() && facts.signal.empty()) {
        facts.signal = signal;
        return;
    }
    if (!kFactLineStarts[static_cast<unsigned char>(trimmed.front())]) {
        return;
    }
    for (const auto& [prefix, fact] : kFactLines) {
        if (trimmed.starts_with(prefix) && (facts.*fact).empty()) {
            std::string_view value = trimmed.substr(prefix.size());
            if (fact == &ReportFacts::signal) {
                facts.signal = signalAfter(value, 0);
                return;
            }
            // "process: render-worker (pid 6845)"
            value = prefix == "process: " ? value.substr(0, value.find(" (")) : value;
            facts.*fact = printable(value, kMaxFactBytes);
            return;
        }
    }
    if (facts.signal.empty() && std::ranges::any_of(kSignalLines, [trimmed](auto line) { return trimmed.starts_with(line); })) {
        const std::size_t word = trimmed.find("ignal");
        facts.signal = word == npos ? std::string() : signalAfter(trimmed, word + 5);
    }
}

}  // namespace

std::string_view trimLeft(std::string_view text)
{
    return from(text, skipWhile(text, [](char c) { return c == ' ' || c == '\t'; }));
}

std::string_view trim(std::string_view text)
{
    text = trimLeft(text);
    return text.substr(0, text.find_last_not_of(" \t") + 1);
}

bool startsIndented(std::string_view line) { return !line.empty() && (line.front() == ' ' || line.front() == '\t'); }

std::string_view withoutKernelStamp(std::string_view line)
{
    // "[12345.678901] ", and the caller's "[ T123] " where the kernel adds it.
    for (int stamps = 0; stamps < 2 && line.starts_with('['); ++stamps) {
        const std::size_t close = line.substr(0, 26).find(']');
        // A loop rather than find_first_not_of, which searches its set for each character.
        const auto stampChar = [](char c) { return c == ' ' || c == '.' || c == 'T' || c == 'C' || isDigit(c); };
        if (close == npos || !std::all_of(line.begin() + 1, line.begin() + static_cast<std::ptrdiff_t>(close), stampChar)) {
            break;
        }
        line = trimLeft(line.substr(close + 1));
    }
    return line;
}

namespace {

// The formats of a language's own report, which names the bug where a
// sanitizer's or fuzzer's report of the abort that follows it does not.
constexpr std::array kLanguageFormats{Format::Python, Format::Go, Format::Rust};

// The format chosen among those whose report starts on first[format]: the
// first in Format's order, but a language's report before a sanitizer's.
Detection chooseFormat(std::span<const std::size_t> first)
{
    const auto at = [first](Format format) { return first[static_cast<std::size_t>(format)]; };
    if (const std::size_t sanitizer = at(Format::Sanitizer); sanitizer != npos) {
        const auto earliest = std::ranges::min(kLanguageFormats, {}, at);
        if (at(earliest) < sanitizer) {
            return {earliest, at(earliest)};
        }
    }
    for (std::size_t format = 0; format < first.size(); ++format) {
        if (first[format] != npos) {
            return {static_cast<Format>(format), first[format]};
        }
    }
    return {};
}

}  // namespace

Detection detectFormat(Lines lines, ReportFacts& facts)
{
    std::array<std::size_t, static_cast<std::size_t>(Format::None)> first;
    first.fill(npos);
    bool goroutine = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view trimmed = withoutKernelStamp(trimLeft(lines[i]));
        if (trimmed.empty()) {
            continue;
        }
        noteFact(trimmed, facts);
        // A chained exception's first traceback is the error; those after
        // it were raised while handling it.
        const Format format = formatOfLine(lines[i], trimmed);
        if (format != Format::None) {
            auto& line = first[static_cast<std::size_t>(format)];
            line = std::min(line, i);
        }
        goroutine = goroutine || lines[i].starts_with("goroutine ");
    }
    // A Go panic is one with its goroutines' stacks.
    first[static_cast<std::size_t>(Format::Go)] = goroutine ? first[static_cast<std::size_t>(Format::Go)] : npos;
    return chooseFormat(first);
}

void readFacts(Lines lines, ReportFacts& facts)
{
    for (const std::string_view line : lines) {
        if (const std::string_view trimmed = trimLeft(line); !trimmed.empty()) {
            noteFact(trimmed, facts);
        }
    }
}

void readVersion(Lines lines, ReportFacts& facts)
{
    constexpr std::string_view kPrefix = "Version: ";
    for (const std::string_view line : lines.first(std::min(lines.size(), kVersionLines))) {
        if (const std::string_view trimmed = trim(line); trimmed.starts_with(kPrefix) && facts.version.empty()) {
            facts.version = printable(trim(trimmed.substr(kPrefix.size())), kMaxFactBytes);
        }
    }
}

namespace {

using FormatReader = Findings (*)(Lines, std::size_t, const ReportFacts&, const SkipRules&);

// The reader of a format's stack; none for Format::None.
FormatReader readerOf(Format format)
{
    switch (format) {
    case Format::Sanitizer: return readSanitizer;
    case Format::Python: return readPython;
    case Format::Java: return readJava;
    case Format::Go: return readGo;
    case Format::GoRace: return readGoRace;
    case Format::Rust: return readRust;
    case Format::Kernel: return readKernel;
    case Format::CoreDump: return readCoreDump;
    case Format::Gdb: return readGdb;
    case Format::BacktraceSymbols: return readBacktraceSymbols;
    case Format::None: break;
    }
    return nullptr;
}

}  // namespace

Findings readFormat(Detection detection, Lines lines, const ReportFacts& facts, const SkipRules& rules)
{
    const FormatReader read = readerOf(detection.format);
    if (read == nullptr) {
        return {};
    }
    Findings findings = read(lines, detection.line, facts, rules);
    if (findings.kind.empty()) {
        // A native crash is of the kind of its signal.
        findings.kind = facts.signal.empty() ? "crash" : facts.signal;
    }
    return findings;
}

std::string leadingWords(std::string_view message)
{
    std::string words;
    for (std::size_t at = 0, count = 0; at < message.size() && count < 8;) {
        const std::size_t end = std::min(message.size(), message.find(' ', at));
        std::string_view word = message.substr(at, end - at);
        at = end + 1;
        if (word.empty()) {
            continue;
        }
        if (word == "on" || word == "at" || word == "in" || word.front() == '(' || word.front() == '[' ||
            word.find_first_of("'\"`") != npos) {
            break;
        }
        if (std::ranges::any_of(word, isDigit)) {
            continue;
        }
        const bool last = word.ends_with(':');
        words += words.empty() ? "" : " ";
        words += last ? word.substr(0, word.size() - 1) : word;
        ++count;
        if (last) {
            break;
        }
    }
    return printable(words, kMaxFactBytes);
}

std::string_view withoutLineNumbers(std::string_view location)
{
    for (int number = 0; number < 2; ++number) {
        const std::size_t colon = location.rfind(':');
        if (colon == npos || colon + 1 == location.size() || location.find_first_not_of("0123456789", colon + 1) != npos) {
            break;
        }
        location = location.substr(0, colon);
    }
    return location;
}

std::string_view withoutPackagePath(std::string_view function)
{
    const std::size_t end = std::min(function.size(), function.find_first_of("(["));
    const std::size_t slash = function.substr(0, end).rfind('/');
    return slash == npos ? function : function.substr(slash + 1);
}

void FrameSink::add(std::string_view function, std::string_view module)
{
    const bool repeated = read_ > 0 && function == lastFunction_ && module == lastModule_;
    if (done() || repeated) {
        return;
    }
    ++read_;
    lastFunction_ = function;
    lastModule_ = module;
    std::string frame = platforms_.has(Platform::Kernel) ? normaliseKernelFunction(function) : normaliseFunction(function);
    if (frame.empty() || frame == "??" || frame == "n/a") {
        const std::string_view base = baseName(trim(module));
        if (base.empty() || base == "??" || base == "n/a") {
            return;
        }
        frame = printable(base, kMaxFactBytes);
    }
    if (!rules_.skips(frame, platforms_)) {
        addText(platforms_.has(Platform::Go) ? std::string(withoutPackagePath(frame)) : std::move(frame));
    }
}

void FrameSink::addText(std::string frame)
{
    if (frames_.size() < limit_ && !frame.empty() && frame != last_) {
        last_ = frame;
        frames_.push_back(std::move(frame));
    }
}

}  // namespace triage
