// The lines in which a program's own checks say what failed before it
// aborts: CHECK and DCHECK macros, the C library's assert(), "# Fatal error
// in" blocks, Swift's assertions.

#include "signature/Formats.h"
#include "signature/Normalize.h"
#include "signature/Printable.h"

#include <algorithm>
#include <array>

namespace triage {

namespace {

constexpr auto npos = std::string_view::npos;
constexpr std::size_t kMaxConditionBytes = 96;

// The condition without the values that a CHECK_EQ or Check failed adds:
// "start <= end" for "start <= end (DIV vs. SPAN)", "i < length_" for "i < length_.".
std::string_view conditionOf(std::string_view text)
{
    text = trim(text);
    for (std::size_t values = text.find(" ("); values != npos; values = text.find(" (", values + 2)) {
        if (contains(text.substr(values), " vs")) {
            text = text.substr(0, values);
            break;
        }
    }
    if (const std::size_t values = text.find(": "); values != npos && contains(text.substr(values), " vs. ")) {
        text = text.substr(0, values);
    }
    while (text.ends_with('.') || text.ends_with(' ')) {
        text.remove_suffix(1);
    }
    return text;
}

// "span_reader.cc" for "[1:1:0417/224500.881615:FATAL:span_reader.cc(207)] ..." and
// "[0908/073950:FATAL:content/browser/x_fuzzer.cc:40] ...".
std::string_view fatalFile(std::string_view line)
{
    const std::size_t fatal = line.find(":FATAL:");
    if (fatal == npos) {
        return {};
    }
    const std::string_view rest = line.substr(fatal + 7);
    return baseName(rest.substr(0, std::min(rest.find_first_of("(:]"), rest.size())));
}

CheckFailure failure(std::string kind, std::string_view condition, std::string_view file)
{
    std::string frame = printable(conditionOf(condition).substr(0, kMaxConditionBytes), kMaxConditionBytes);
    if (!file.empty()) {
        frame += " in " + printable(baseName(file), kMaxFactBytes);
    }
    return {std::move(kind), std::move(frame)};
}

// "Check failed: cond", "Security DCHECK failed: cond", "CSA_ASSERT failed: cond [file:12]",
// "Assert failed: cond", "CHECK_EQ( a, b) failed: 25 vs. 1".
std::optional<CheckFailure> checkMacro(std::string_view line, Lines lines, std::size_t i)
{
    const std::size_t failed = line.find(" failed: ");
    const std::size_t macroFailed = line.find(") failed");
    if (failed == npos && macroFailed == npos) {
        return std::nullopt;
    }
    if (failed != npos) {
        const std::size_t start = line.find_last_of(" :]'\"", failed - 1) + 1;
        const std::string_view macro = line.substr(start, failed - start);
        const bool known = macro.ends_with("CHECK") || macro.ends_with("Check") || macro.ends_with("ASSERT") ||
                           macro.ends_with("Assert") || macro.ends_with("DCHECK") || macro.ends_with("check");
        if (!known) {
            return std::nullopt;
        }
        std::string_view condition = line.substr(failed + 9);
        std::string_view file = fatalFile(line);
        // "CSA_ASSERT failed: cond [../../src/code-stub-assembler.cc:1567]"
        if (const std::size_t bracket = condition.find(" ["); file.empty() && bracket != npos && condition.ends_with(']')) {
            file = withoutLineNumbers(condition.substr(bracket + 2, condition.find(']', bracket) - bracket - 2));
            condition = condition.substr(0, bracket);
        }
        // "# Fatal error in ../../src/heap/arena.h, line 54" comes before its "# Check failed:".
        if (file.empty() && i > 0 && contains(lines[i - 1], "# Fatal error in ")) {
            const std::string_view fatal = lines[i - 1].substr(lines[i - 1].find("# Fatal error in ") + 17);
            file = fatal.substr(0, fatal.find(','));
        }
        return failure(std::string(macro) + " failed", condition, file);
    }
    const std::size_t open = line.rfind("CHECK", macroFailed);
    if (open == npos) {
        return std::nullopt;
    }
    // "frameworks/av/MPEG4Extractor.cpp:3301 CHECK_EQ( (unsigned)ptr[0],1u) failed: 25 vs. 1"
    const std::string_view file = withoutLineNumbers(trim(line.substr(0, open)));
    return failure("CHECK failed", line.substr(open, macroFailed + 1 - open), file.substr(file.rfind(' ') + 1));
}

// The C library's "prog: src/util.c:627: copy_file: Assertion `S_ISREG (mode)' failed.",
// named by its file and condition: a function compiled twice has two names.
std::optional<CheckFailure> libcAssertion(std::string_view line)
{
    const std::size_t assertion = line.find(": Assertion `");
    const std::size_t end = line.rfind("' failed");
    if (assertion == npos || end == npos || end < assertion) {
        return std::nullopt;
    }
    // The file is the field before the line number: "prog: file.c:123: func".
    const std::string_view before = line.substr(0, assertion);
    const std::size_t number = before.find_first_of("0123456789", before.find(": ") == npos ? 0 : before.find(": "));
    const std::string_view head = before.substr(0, number == npos ? 0 : number);
    const std::size_t fileStart = head.rfind(' ') == npos ? 0 : head.rfind(' ') + 1;
    const std::string_view file = head.substr(fileStart, head.size() > fileStart ? head.size() - fileStart - 1 : 0);
    return failure("Assertion failed", line.substr(assertion + 13, end - assertion - 13), file);
}

// Swift's "Assertion failed: file SwiftProtobuf/BinaryDecoder.swift, line 953",
// BSD's "Assertion failed: (cond), function f, file x.c, line 12."
std::optional<CheckFailure> assertionFailed(std::string_view line)
{
    const std::size_t at = line.find("Assertion failed: ");
    if (at == npos) {
        return std::nullopt;
    }
    const std::string_view rest = line.substr(at + 18);
    const std::size_t fileWord = rest.find("file ");
    const std::string_view file = fileWord == npos ? std::string_view() : rest.substr(fileWord + 5, rest.find(',', fileWord) - fileWord - 5);
    const std::string_view condition = rest.substr(0, std::min(rest.find(", "), rest.size()));
    return failure("Assertion failed", condition.starts_with("file ") ? std::string_view() : condition, file);
}

}  // namespace

std::optional<CheckFailure> findCheckFailure(Lines lines, std::size_t end)
{
    for (std::size_t i = 0; i < std::min(end, lines.size()); ++i) {
        const std::string_view line = lines[i];
        if (!contains(line, "ailed")) {
            continue;
        }
        for (auto found : {checkMacro(line, lines, i), libcAssertion(line), assertionFailed(line)}) {
            if (found) {
                return found;
            }
        }
    }
    return std::nullopt;
}

}  // namespace triage
