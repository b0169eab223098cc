// The stacks of language runtimes: Python tracebacks, Java exceptions and
// Rust panics.

#include "signature/Characters.h"
#include "signature/Formats.h"
#include "signature/Normalize.h"

#include <algorithm>
#include <utility>

namespace triage {

namespace {

constexpr auto npos = std::string_view::npos;
// How far after a Rust panic's line its backtrace may start: the message
// may take several lines.
constexpr std::size_t kBacktraceSearchLines = 32;
// Of a panic's message, what its kind keeps.
constexpr std::size_t kMaxMessageBytes = 64;

bool isNameChar(char c)
{
    return isDigit(c) || isAlpha(c) || c == '_' || c == '.' || c == '$';
}

// "ValueError" for "ValueError: invalid literal ...", "java.io.IOException"
// for "java.io.IOException: closed"; "exception" for a line that names none.
std::string exceptionName(std::string_view line)
{
    const std::string_view name = trim(line.substr(0, line.find(':')));
    // A log's level ("INFO: ...") is written in capitals, an exception's name is not.
    const bool lower = std::ranges::any_of(name, [](char c) { return c >= 'a' && c <= 'z'; });
    return !name.empty() && lower && std::ranges::all_of(name, isNameChar) ? std::string(name) : "exception";
}

// The line without the log prefix that `prefix`, the prefix of the line
// before it, ends with: "WARN: msg" for a prefix "[00057.36][1102] WARN: ".
std::string_view withoutLogPrefix(std::string_view line, std::string_view prefix)
{
    const std::size_t word = prefix.empty() ? npos : prefix.rfind(' ', prefix.size() - 2);
    const std::string_view marker = prefix.substr(word == npos ? 0 : word + 1);
    const std::size_t at = marker.empty() ? npos : line.find(marker);
    return at == npos ? line : line.substr(at + marker.size());
}

// A panic's source file as every build names it: without line numbers, the
// build's relative "../../" and with Windows' separators as "/".
std::string sourcePath(std::string_view location)
{
    std::string unified(withoutLineNumbers(trim(location)));
    std::ranges::replace(unified, '\\', '/');
    std::string_view path = unified;
    while (path.starts_with("./") || path.starts_with("../")) {
        path.remove_prefix(path.find('/') + 1);
    }
    // A crate's files from its directory on: where the crate lies varies.
    if (const std::size_t source = path.rfind("/src/"); source != npos) {
        const std::size_t crate = path.rfind('/', source - 1);
        path.remove_prefix(crate == npos ? 0 : crate + 1);
    }
    return std::string(path);
}

// "/tmp/tmpab12cd/app.py" for `  File "/tmp/tmpab12cd/app.py", line 12, in load_config`.
std::string_view pythonPath(std::string_view trimmed)
{
    const std::string_view path = from(trimmed, 6);
    return path.substr(0, path.find('"'));
}

// A frame of the standard library: `File "/usr/lib/python3.11/json/decoder.py", ...`,
// `File "<frozen importlib._bootstrap>", ...`; installed packages are not.
bool isPythonLibrary(std::string_view trimmed)
{
    const std::string_view path = pythonPath(trimmed);
    return path.starts_with("<frozen ") || (contains(path, "/lib/python") && !contains(path, "-packages/"));
}

// "com.example.Parser.parse" for "at com.example.Parser.parse(Parser.java:42)",
// "java.lang.Thread.run" for "at java.base/java.lang.Thread.run(Thread.java:833)".
std::string_view javaMethod(std::string_view trimmed)
{
    const std::string_view method = trimmed.substr(3, trimmed.find('(') - 3);
    return from(method, method.rfind('/') + 1);
}

// The exception of "Exception in thread "main" java.lang.X: ...", "Caused by: java.io.IOException: ..."
std::string javaException(std::string_view line)
{
    std::string_view text = trim(line);
    if (text.starts_with("Caused by: ")) {
        text.remove_prefix(11);
    } else if (text.starts_with("Exception in thread \"")) {
        text = from(text, text.find("\" ", 21) + 2);
    }
    return exceptionName(text);
}

bool isJavaPlatform(std::string_view method)
{
    return method.starts_with("java.") || method.starts_with("javax.") || method.starts_with("jdk.") ||
           method.starts_with("sun.") || method.starts_with("com.sun.");
}

// Adds the frames listed under the exception on lines[header]; "... 12 more"
// ends them, as does a suppressed exception's block. The platform's frames
// on top are where it noticed the error, and vary with what the program
// called it for: the program's own first frame is where the bug is.
void addJavaFrames(Lines lines, std::size_t header, FrameSink& sink)
{
    std::size_t end = header + 1;
    std::size_t first = npos;
    for (; end < lines.size() && trimLeft(lines[end]).starts_with("at "); ++end) {
        first = first == npos && !isJavaPlatform(javaMethod(trimLeft(lines[end]))) ? end : first;
    }
    for (std::size_t i = first == npos ? header + 1 : first; i < end && !sink.done(); ++i) {
        sink.add(javaMethod(trimLeft(lines[i])));
    }
}

// The class whose main() the outermost frame of the trace on lines[header] runs.
std::string_view javaMainClass(Lines lines, std::size_t header)
{
    std::string_view outermost;
    for (std::size_t i = header + 1; i < lines.size() && trimLeft(lines[i]).starts_with("at "); ++i) {
        outermost = javaMethod(trimLeft(lines[i]));
    }
    return outermost.ends_with(".main") ? outermost.substr(0, outermost.size() - 5) : std::string_view();
}

// Rust's panic and backtrace machinery and its standard library, which any
// panic passes through: rust_begin_unwind, core::panicking::panic_fmt,
// <usize as core::slice::index::SliceIndex<[T]>>::index, alloc::vec::...
bool isRustMachinery(std::string_view function)
{
    if (function.starts_with("rust_begin_unwind") || function.starts_with("__rust")) {
        return true;
    }
    const std::string_view path = function.starts_with('<') ? function.substr(1) : function;
    const auto standard = [](std::string_view name) {
        return name.starts_with("std::") || name.starts_with("core::") || name.starts_with("alloc::");
    };
    const std::size_t as = path.find(" as ");
    const bool primitivesTrait = as != npos && path.substr(0, as).find("::") == npos && standard(path.substr(as + 4));
    return primitivesTrait || standard(path);
}

// The function of a backtrace line: "   12: myapp::parse_header" or
// "  12:     0x55d1c0ffee12 - myapp::parse_header::h0123456789abcdef"; empty for another line.
std::string_view rustFunction(std::string_view trimmed)
{
    const std::size_t colon = trimmed.find_first_not_of("0123456789");
    if (colon == 0 || colon == npos || !from(trimmed, colon).starts_with(": ")) {
        return {};
    }
    std::string_view function = trimLeft(trimmed.substr(colon + 2));
    if (function.starts_with("0x")) {
        function = from(function, function.find(" - ") + 3);
    }
    return function;
}

// Adds the frames of the backtrace that follows a panic's line, if any.
void addRustBacktrace(Lines lines, std::size_t start, FrameSink& sink)
{
    std::size_t i = start + 1;
    for (const std::size_t end = std::min(lines.size(), start + kBacktraceSearchLines); i < end; ++i) {
        if (trimLeft(lines[i]).starts_with("stack backtrace:")) {
            break;
        }
    }
    for (++i; i < lines.size() && !sink.done(); ++i) {
        const std::string_view trimmed = trimLeft(lines[i]);
        const std::string_view function = rustFunction(trimmed);
        if (function.empty() && !trimmed.starts_with("at ")) {
            break;
        }
        if (!function.empty() && !isRustMachinery(function)) {
            sink.add(function);
        }
    }
}

}  // namespace

Findings readPython(Lines lines, std::size_t start, const ReportFacts&, const SkipRules& rules)
{
    // Frames follow outermost first, each with its indented source; the
    // exception's line is the first line that is not indented.
    std::size_t end = start + 1;
    while (end < lines.size() && (lines[end].empty() || startsIndented(lines[end]))) {
        ++end;
    }
    // The standard library's frames on top are where it noticed the error,
    // and vary with what the program called it for: reading starts at the
    // program's own innermost frame, if it has one.
    std::size_t top = end;
    for (std::size_t i = end; i-- > start + 1;) {
        const std::string_view trimmed = trimLeft(lines[i]);
        if (trimmed.starts_with("File \"") && !isPythonLibrary(trimmed)) {
            top = i + 1;
            break;
        }
    }
    FrameSink sink(rules, {Platform::Python});
    for (std::size_t i = top; i-- > start + 1 && !sink.done();) {
        const std::string_view trimmed = trimLeft(lines[i]);
        const std::size_t in = trimmed.rfind(", in ");
        if (trimmed.starts_with("File \"") && in != npos) {
            sink.add(trimmed.substr(in + 5));
        }
    }
    const std::string_view outermost = start + 1 < end ? trimLeft(lines[start + 1]) : std::string_view();
    return {exceptionName(end < lines.size() ? lines[end] : std::string_view()), sink.take(),
            std::string(outermost.starts_with("File \"") ? baseName(pythonPath(outermost)) : std::string_view())};
}

Findings readJava(Lines lines, std::size_t start, const ReportFacts&, const SkipRules& rules)
{
    // A trace found by its first frame starts on the line before, its exception's.
    start -= start > 0 && trimLeft(lines[start]).starts_with("at ") ? 1 : 0;
    // The last "Caused by" is the root cause: the exception first thrown,
    // where the bug is; those around it wrap it on its way up, from frames
    // that vary with the path it took.
    std::size_t cause = start;
    std::size_t wrapper = start;
    for (std::size_t i = start + 1; i < lines.size(); ++i) {
        if (lines[i].starts_with("Caused by: ")) {
            wrapper = std::exchange(cause, i);
        } else if (trim(lines[i]).empty() || !startsIndented(lines[i])) {
            break;
        }
    }
    FrameSink sink(rules, {Platform::Java});
    addJavaFrames(lines, cause, sink);
    if (sink.empty()) {
        // "... 12 more" alone: the cause was thrown where its wrapper's frames are.
        addJavaFrames(lines, wrapper, sink);
    }
    return {javaException(lines[cause]), sink.take(), std::string(javaMainClass(lines, start))};
}

Findings readRust(Lines lines, std::size_t start, const ReportFacts& facts, const SkipRules& rules)
{
    const std::string_view line = lines[start];
    const std::size_t thread = line.find("thread '");
    const std::string_view header = from(line, thread);
    const std::string_view after = from(header, header.find("' panicked at ") + 14);
    std::string_view location;
    std::string_view message;
    if (after.starts_with('\'')) {
        // Before Rust 1.73: "panicked at 'message', src/main.rs:12:5".
        const std::size_t end = after.rfind("', ");
        message = after.substr(1, end == npos ? npos : end - 1);
        location = end == npos ? std::string_view() : after.substr(end + 3);
    } else {
        // "panicked at src/main.rs:12:5:", the message on the next line,
        // after the same log prefix as the panic's line, if any.
        location = after.ends_with(':') ? after.substr(0, after.size() - 1) : after;
        message = start + 1 < lines.size() ? withoutLogPrefix(lines[start + 1], line.substr(0, thread)) : std::string_view();
    }
    FrameSink sink(rules, {Platform::Rust});
    addRustBacktrace(lines, start, sink);
    if (sink.empty()) {
        sink.addText(normaliseText(sourcePath(location), facts.host));
    }
    const std::string stable = normaliseText(trim(message).substr(0, std::min(trim(message).size(), kMaxMessageBytes)), facts.host);
    return {stable.empty() ? "panic" : "panic: " + stable, sink.take(), {}};
}

}  // namespace triage
