#include "signature/Signature.h"

#include "signature/Characters.h"
#include "signature/Formats.h"
#include "signature/Normalize.h"
#include "signature/Printable.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace triage {

namespace {

constexpr auto npos = std::string_view::npos;
// What of a report is read: its stack and error come early, and the rest of
// a huge report only costs time. A unit's report has its core dump last, so
// each of its sections is read on its own; of its journal, the newest lines.
constexpr std::size_t kReadBytes = 1 << 20;
constexpr std::size_t kJournalBytes = 256 << 10;
constexpr std::size_t kMaxLines = 20000;
constexpr std::size_t kMaxLineBytes = 4096;
// Of a report in no known format, the lines searched for one that reads as an error.
constexpr std::size_t kErrorSearchLines = 1000;

constexpr std::string_view kUnitReportHeader = "=== crash report ===";

// The lines of `text`, each cut to kMaxLineBytes, at most kMaxLines.
std::vector<std::string_view> splitLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    while (!text.empty() && lines.size() < kMaxLines) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        line = line.ends_with('\r') ? line.substr(0, line.size() - 1) : line;
        lines.push_back(line.substr(0, kMaxLineBytes));
        text = end == npos ? std::string_view() : text.substr(end + 1);
    }
    return lines;
}

// The last `bytes` of `text`, from the start of a line.
std::string_view tail(std::string_view text, std::size_t bytes)
{
    if (text.size() <= bytes) {
        return text;
    }
    text.remove_prefix(text.size() - bytes);
    const std::size_t newline = text.find('\n');
    return newline == npos ? std::string_view() : text.substr(newline + 1);
}

// Whether a line starts with journalctl's short time stamp ("Dec 08
// 11:00:00 ") or its ISO one ("2026-12-08T11:00:00+0000 "); the length of the stamp.
std::size_t journalStampLength(std::string_view line)
{
    const bool shortStamp = line.size() > 16 && isAlpha(line[0]) && line[3] == ' ' && line[6] == ' ' &&
                            line[9] == ':' && line[12] == ':' && line[15] == ' ';
    if (shortStamp) {
        return 15;
    }
    const bool isoStamp = line.size() > 20 && isDigit(line[0]) && line[4] == '-' && line[7] == '-' && line[10] == 'T';
    return isoStamp ? std::min(line.size(), line.find(' ')) : 0;
}

// The message of a line of journalctl's output ("Dec 08 11:00:00 web-3
// myapp[4242]: message"). A message's continuation lines are indented to
// its column, which `indent` carries from line to line.
std::string_view journalMessage(std::string_view line, std::size_t& indent)
{
    const std::size_t stamp = journalStampLength(line);
    if (stamp == 0) {
        const bool continued = indent > 0 && line.size() >= indent && line.find_first_not_of(' ') >= indent;
        return continued ? line.substr(indent) : line;
    }
    // The host, then the identifier up to its colon.
    const std::size_t host = line.find(' ', stamp + 1);
    const std::size_t colon = host == npos ? npos : line.find(": ", host + 1);
    if (colon == npos) {
        return line;
    }
    indent = colon + 2;
    return line.substr(indent);
}

bool readsAsError(std::string_view line)
{
    static constexpr std::array<std::string_view, 11> kWords{
        "error", "fatal", "exception", "panic", "fail", "abort", "segmentation fault", "assert", "critical",
        "crash", "core dumped"};
    std::array<char, 512> lower{};
    const std::size_t length = std::min(line.size(), lower.size());
    std::transform(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(length), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; });
    const std::string_view text(lower.data(), length);
    // A word that starts with one ("errors", "failed"), not one inside
    // another ("onerror", "terror").
    const auto startsAWord = [text](std::string_view word) {
        for (std::size_t at = text.find(word); at != npos; at = text.find(word, at + 1)) {
            if (at == 0 || !(isAlpha(text[at - 1]) || isDigit(text[at - 1]))) {
                return true;
            }
        }
        return false;
    };
    return std::ranges::any_of(kWords, startsAWord);
}

// How a signature's title is made of its kind and first frame.
enum class Title {
    KindInFrame,  // "SIGSEGV in parse_header"
    Frame,        // the frame is the report's own line, which titles it alone
    KindAndFrame, // "Check failed in Read: offset <= size in span_reader.cc"
};

// What a signature is made of, before it is put together.
struct Analysis {
    std::string kind;
    std::vector<std::string> frames;
    ReportFacts facts;
    Title title = Title::KindInFrame;
};

// Whether a report of `format` and `kind` is a native program's abort,
// which a check failure that it printed before explains.
bool isNativeAbort(Format format, std::string_view kind)
{
    const bool native = format == Format::Sanitizer || format == Format::Gdb || format == Format::CoreDump ||
                        format == Format::BacktraceSymbols || format == Format::None;
    return native && (kind.starts_with("SIG") || kind == "crash" || kind == "error" || kind.ends_with("deadly signal"));
}

// A check's failure names the bug, where the program printed one before its
// abort's report: its condition and file, then the first frames of the stack.
void takeCheckFailure(Lines lines, Detection detection, Analysis& analysis)
{
    const std::size_t end = detection.format == Format::None ? std::min(lines.size(), kErrorSearchLines) : detection.line;
    std::optional<CheckFailure> check = isNativeAbort(detection.format, analysis.kind) ? findCheckFailure(lines, end) : std::nullopt;
    if (!check) {
        return;
    }
    if (analysis.title == Title::Frame) {
        analysis.frames.clear();
    }
    analysis.kind = std::move(check->kind);
    analysis.frames.insert(analysis.frames.begin(), std::move(check->frame));
    analysis.frames.resize(std::min(analysis.frames.size(), kMaxFrames));
    analysis.title = Title::KindAndFrame;
}

// A report in no known format: the first line that reads as an error, else
// the first line, stands in for a stack.
void readFirstError(Lines lines, Analysis& analysis)
{
    std::string_view chosen;
    for (std::size_t i = 0; i < std::min(lines.size(), kErrorSearchLines); ++i) {
        // A system log's lines start with the time, the host and the process.
        std::size_t indent = 0;
        const std::string_view line = trim(journalMessage(lines[i], indent));
        // What a shell or a fuzzer says after a program ends is no error of its own.
        if (line.starts_with("exit status ") || !shellSignal(line).empty() || line.starts_with("SUMMARY: ")) {
            continue;
        }
        if (!line.empty() && readsAsError(line)) {
            chosen = line;
            break;
        }
        chosen = chosen.empty() ? line : chosen;
    }
    analysis.kind = chosen.empty() ? "empty report" : "error";
    analysis.title = Title::Frame;
    if (std::string frame = normaliseText(chosen, analysis.facts.host); !frame.empty()) {
        analysis.frames.push_back(std::move(frame));
    }
}

// Takes the kind, frames and program that `detection` reads from `lines`.
void takeFindings(Detection detection, Lines lines, const SkipRules& rules, Analysis& analysis)
{
    Findings findings = readFormat(detection, lines, analysis.facts, rules);
    analysis.kind = std::move(findings.kind);
    analysis.frames = std::move(findings.frames);
    if (analysis.facts.executable.empty()) {
        analysis.facts.executable = printable(findings.executable, kMaxFactBytes);
    }
}

Analysis analyseReport(std::string_view report, const SkipRules& rules)
{
    const std::vector<std::string_view> lines = splitLines(report.substr(0, kReadBytes));
    Analysis analysis;
    const Detection detection = detectFormat(lines, analysis.facts);
    readVersion(lines, analysis.facts);
    if (detection.format == Format::None) {
        readFirstError(lines, analysis);
    } else {
        takeFindings(detection, lines, rules, analysis);
    }
    takeCheckFailure(lines, detection, analysis);
    return analysis;
}

// The sections of a unit's report, each after its header line, in this
// order. The core dump's comes last, so that its header is found after any
// line of the journal that looks like it.
struct UnitSections {
    std::string_view about, status, journal, coreDump;
};

// The start of the last line that starts with `header`, or npos. Searched
// forwards, as a search backwards compares at every byte.
std::size_t findLast(std::string_view report, std::string_view header)
{
    std::size_t last = npos;
    for (std::size_t at = report.find(header); at != npos; at = report.find(header, at + 1)) {
        last = at;
    }
    return last;
}

UnitSections splitUnitReport(std::string_view report)
{
    // The header and the status are short; only the journal's length varies.
    const std::size_t status = report.substr(0, kReadBytes).find("\n=== systemctl status ");
    const std::size_t journal = report.substr(0, (status == npos ? 0 : status) + kReadBytes).find("\n=== journal of ");
    const std::size_t coreDump = findLast(report, "\n=== core dump of ");
    const auto section = [report](std::size_t begin, std::size_t end) {
        return begin == npos || (end != npos && end < begin) ? std::string_view() : report.substr(begin, end - begin);
    };
    const std::size_t firstHeader = std::min({status, journal, coreDump});
    return {section(0, firstHeader), section(status, journal != npos ? journal : coreDump),
            section(journal, coreDump), section(coreDump, npos)};
}

// "unit failed (exit-code)" from the status's "Active: failed (Result:
// exit-code) since ..."; the signal where one ended the unit's process.
std::string unitFailure(Lines status, const ReportFacts& facts)
{
    if (!facts.signal.empty()) {
        return facts.signal;
    }
    for (const std::string_view line : status) {
        const std::string_view text = trimLeft(line);
        const std::size_t result = text.find("(Result: ");
        if (text.starts_with("Active: ") && result != npos) {
            const std::string_view value = text.substr(result + 9, text.find(')', result) - result - 9);
            return "unit failed (" + printable(value, 64) + ")";
        }
    }
    return "unit failed";
}

// A unit's report: the stack of its core dump, else a stack or error that
// its journal shows, else the unit and how it failed.
Analysis analyseUnitReport(std::string_view report, const SkipRules& rules)
{
    const UnitSections sections = splitUnitReport(report);
    Analysis analysis;
    const std::vector<std::string_view> about = splitLines(sections.about.substr(0, kReadBytes));
    readFacts(about, analysis.facts);
    readVersion(about, analysis.facts);
    const std::vector<std::string_view> coreDump = splitLines(sections.coreDump.substr(0, kReadBytes));
    const Detection core = detectFormat(coreDump, analysis.facts);
    const std::vector<std::string_view> status = splitLines(sections.status.substr(0, kReadBytes));
    readFacts(status, analysis.facts);
    if (core.format != Format::None) {
        takeFindings(core, coreDump, rules, analysis);
    }
    if (analysis.frames.empty()) {
        std::vector<std::string_view> journal = splitLines(tail(sections.journal, kJournalBytes));
        std::size_t indent = 0;
        std::ranges::transform(journal, journal.begin(), [&indent](auto line) { return journalMessage(line, indent); });
        // Any program may write to the journal: its lines state no facts.
        ReportFacts unstated;
        if (const Detection logged = detectFormat(journal, unstated); logged.format != Format::None) {
            takeFindings(logged, journal, rules, analysis);
        }
    }
    if (analysis.frames.empty()) {
        analysis.kind = unitFailure(status, analysis.facts);
        if (std::string unit = normaliseText(analysis.facts.unit, analysis.facts.host); !unit.empty()) {
            analysis.frames.push_back(std::move(unit));
        }
    }
    return analysis;
}

std::string hashText(std::string_view text)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const char c : text) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    static constexpr std::string_view kDigits = "0123456789abcdef";
    std::string id(16, '0');
    for (std::size_t i = 16; i-- > 0; hash >>= 4) {
        id[i] = kDigits[hash & 0xF];
    }
    return id;
}

// "Check failed in parse_header: len > 0 in http.c": where the check was
// made, where the stack says, and what failed.
std::string checkTitle(std::string_view kind, std::span<const std::string> frames)
{
    const std::string where = frames.size() > 1 ? " in " + frames[1] : std::string();
    return std::string(kind) + where + ": " + frames.front();
}

Signature assemble(Analysis analysis)
{
    Signature signature;
    signature.kind = printable(analysis.kind, kMaxFactBytes);
    signature.frames = std::move(analysis.frames);
    std::string text = signature.kind;
    for (const std::string& frame : signature.frames) {
        text += " | " + frame;
    }
    signature.text = printable(text, kMaxTextBytes);
    signature.id = hashText(signature.text);
    const std::string title = signature.frames.empty()           ? signature.kind
                              : analysis.title == Title::Frame        ? signature.frames.front()
                              : analysis.title == Title::KindAndFrame ? checkTitle(signature.kind, signature.frames)
                                                                      : signature.kind + " in " + signature.frames.front();
    signature.title = printable(title, 4 * kMaxTitleCodePoints, kMaxTitleCodePoints);
    signature.facts = std::move(analysis.facts);
    return signature;
}

}  // namespace

Signature computeSignature(std::span<const unsigned char> report, const SkipRules& rules)
{
    const std::string_view text(reinterpret_cast<const char*>(report.data()), report.size());
    const bool unitReport = text.starts_with(kUnitReportHeader) &&
                            (text.size() == kUnitReportHeader.size() || text[kUnitReportHeader.size()] == '\n');
    return assemble(unitReport ? analyseUnitReport(text, rules) : analyseReport(text, rules));
}

}  // namespace triage
