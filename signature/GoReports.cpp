// Go's reports: panics and fatal errors with their goroutines' stacks, and
// the race detector's data races.

#include "signature/Formats.h"
#include "signature/Normalize.h"

#include <algorithm>
#include <array>

namespace triage {

namespace {

constexpr auto npos = std::string_view::npos;
constexpr std::size_t kMaxMessageBytes = 64;

// "panic: runtime error: index out of range", "fatal error: concurrent map
// writes"; a program's own panic is "panic: " and its message made stable.
std::string goKind(std::string_view line, std::string_view host)
{
    if (line.starts_with("panic: runtime error: ")) {
        return "panic: runtime error: " + leadingWords(line.substr(22));
    }
    if (line.starts_with("fatal error: ")) {
        return "fatal error: " + leadingWords(line.substr(13));
    }
    // "panic: main.ErrClosed{...} [recovered]": the message up to what the runtime adds.
    std::string_view message = trim(line.substr(line.find(": ") + 2));
    message = message.substr(0, message.find(" [recovered]"));
    const std::string stable = normaliseText(message.substr(0, std::min(message.size(), kMaxMessageBytes)), host);
    return stable.empty() ? "panic" : "panic: " + stable;
}

// A frame's line: "main.parseHeader(0xc000012345, 0x5)", unindented, whose
// file's line follows indented: "\t/app/main.go:12 +0x1d". Lines after the
// stack ("exit status 2", a shell's) are none.
bool isGoFrame(Lines lines, std::size_t i)
{
    const std::string_view line = lines[i];
    return !line.empty() && !startsIndented(line) && trim(line).ends_with(')') && i + 1 < lines.size() &&
           startsIndented(lines[i + 1]) && contains(lines[i + 1], ".go:");
}

// A line of the race detector's report without a log's "[2022-01-25T05:41:21.422Z] " before it.
std::string_view withoutLogStamp(std::string_view line)
{
    const std::size_t close = line.find("] ");
    const bool stamp = line.starts_with('[') && close != npos && close < 40 && line.substr(1, close).find(' ') == npos;
    return stamp ? line.substr(close + 2) : line;
}

// Adds the first frame of the access whose block starts at lines[header]:
// "Read at 0x00c000123456 by goroutine 7:", then its frames, each a
// function's line and its file's.
void addAccessFrame(Lines lines, std::size_t header, FrameSink& sink)
{
    for (std::size_t i = header + 1; i < lines.size(); ++i) {
        const std::string_view line = withoutLogStamp(lines[i]);
        if (trim(line).empty()) {
            continue;
        }
        if (!startsIndented(line)) {
            break;
        }
        const std::string_view function = trim(line);
        if (function.ends_with(')') && !contains(function, ".go:")) {
            sink.add(function);
            if (!sink.empty()) {
                return;
            }
        }
    }
}

}  // namespace

Findings readGo(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules)
{
    // The panicking goroutine comes first, after the runtime's own stack for a fatal error.
    std::size_t i = start + 1;
    while (i < lines.size() && !lines[i].starts_with("goroutine ")) {
        ++i;
    }
    FrameSink sink(rules, {Platform::Go});
    for (++i; i < lines.size() && !sink.done(); ++i) {
        const std::string_view line = lines[i];
        if (trim(line).empty() || line.starts_with("created by ") || line.starts_with("goroutine ")) {
            break;
        }
        if (isGoFrame(lines, i)) {
            sink.add(line);
        }
    }
    return {goKind(lines[start], facts.host), sink.take(), {}};
}

Findings readGoRace(Lines lines, std::size_t start, const ReportFacts&, const SkipRules& rules)
{
    // The access reported, then the one before it that it raced with.
    static constexpr std::array<std::string_view, 4> kAccesses{"Read at ", "Write at ", "Previous read at ", "Previous write at "};
    std::array<std::size_t, 2> blocks{npos, npos};
    for (std::size_t i = start + 1; i < lines.size() && (blocks[0] == npos || blocks[1] == npos); ++i) {
        const std::string_view line = withoutLogStamp(lines[i]);
        const auto access = std::ranges::find_if(kAccesses, [line](std::string_view name) { return line.starts_with(name); });
        if (access != kAccesses.end()) {
            std::size_t& block = blocks[access->starts_with("Previous") ? 1 : 0];
            block = block == npos ? i : block;
        }
        if (line.starts_with("==================") && i > start + 1) {
            break;
        }
    }
    std::vector<std::string> frames;
    for (const std::size_t block : blocks) {
        FrameSink sink(rules, {Platform::Go}, 1);
        if (block != npos) {
            addAccessFrame(lines, block, sink);
        }
        for (std::string& frame : sink.take()) {
            frames.push_back(std::move(frame));
        }
    }
    return {"data race", std::move(frames), {}};
}

}  // namespace triage
