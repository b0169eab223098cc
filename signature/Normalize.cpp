#include "signature/Normalize.h"

#include "signature/Characters.h"
#include "signature/Printable.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace triage {

namespace {

constexpr std::size_t kMaxPieceBytes = 256;
constexpr std::string_view kEllipsis = "\u2026";

bool isWordChar(char c) { return isDigit(c) || isAlpha(c) || c == '_'; }

// Whether `name` so far ends in the keyword "operator", after which the
// symbols are the operator's: operator<<, operator().
bool endsWithOperator(std::string_view sofar)
{
    return sofar.ends_with("operator") && (sofar.size() == 8 || !isWordChar(sofar[sofar.size() - 9]));
}

// The index of the bracket that closes the one at `open`, or npos. The
// search is bounded, so that a name of many open brackets costs no more
// than a few of its length.
std::size_t closingBracket(std::string_view name, std::size_t open)
{
    const char opening = name[open];
    const char closing = opening == '(' ? ')' : '}';
    int depth = 0;
    for (std::size_t i = open; i < std::min(name.size(), open + kMaxPieceBytes); ++i) {
        depth += name[i] == opening ? 1 : name[i] == closing ? -1 : 0;
        if (depth == 0) {
            return i;
        }
    }
    return std::string_view::npos;
}

bool isOperatorSymbol(char c)
{
    switch (c) {
    case '<': case '>': case '=': case '!': case '+': case '-': case '*': case '/': case '%': case '&': case '|':
    case '^': case '~': case '[': case ']': case ',':
        return true;
    default:
        return false;
    }
}

// Where a function name ends: at its argument list, offset or module.
bool endsFunctionName(std::string_view name, std::size_t i, std::string_view sofar)
{
    const std::string_view rest = name.substr(i);
    if (rest.front() != '+' && rest.front() != ' ' && rest.front() != '(') {
        return false;
    }
    if (rest.starts_with("+0x") || rest.starts_with(" (") || rest.starts_with(" [")) {
        return true;
    }
    // An argument list follows a name; a parenthesis that starts a component
    // belongs to it: (anonymous namespace)::f, main.(*Server).handle.
    return rest.front() == '(' && !sofar.empty() && sofar.back() != '.' && sofar.back() != ':' &&
           !endsWithOperator(sofar);
}

// The name up to its argument list, offset or module, with template
// arguments collapsed and addresses dropped.
std::string stripDecorations(std::string_view name)
{
    std::string out;
    out.reserve(name.size());
    // Depth within template arguments, which are dropped; a <...> that names
    // something (<init>, <module>, <T as Trait>) is kept.
    int hidden = 0;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (hidden == 0 && endsFunctionName(name, i, out)) {
            break;
        }
        if (hidden == 0 && (isOperatorSymbol(c) || c == '(') && endsWithOperator(out)) {
            const std::size_t end = c == '(' ? i + 1 : skipWhile(name, isOperatorSymbol, i) - 1;
            out += name.substr(i, end - i + 1);
            i = std::min(end, name.size() - 1);
        } else if (c == '<') {
            const bool argument = hidden > 0 || (!out.empty() && isWordChar(out.back()));
            if (!argument || hidden++ == 0) {
                out += c;
            }
        } else if (c == '>' && hidden > 0) {
            out += --hidden == 0 ? ">" : "";
        } else if (hidden > 0) {
            continue;
        } else if (const std::size_t close = c == '(' || c == '{' ? closingBracket(name, i) : std::string_view::npos;
                   close != std::string_view::npos) {
            out += name.substr(i, close - i + 1);
            i = close;
        } else if (c == '0' && i + 1 < name.size() && (name[i + 1] | 0x20) == 'x' && (out.empty() || !isWordChar(out.back()))) {
            for (i += 2; i < name.size() && isHexDigit(name[i]); ++i) {
            }
            --i;
        } else {
            out += c;
        }
    }
    return out;
}

// Drops the suffix of a compiler's clone (foo.isra.0, foo.cold) and a Rust
// symbol hash (foo::h0123456789abcdef).
void dropCloneSuffix(std::string& name)
{
    static constexpr std::array<std::string_view, 6> kNumbered{".isra.", ".constprop.", ".part.", ".lto_priv.", ".llvm.", ".cold."};
    for (const auto marker : kNumbered) {
        const std::size_t at = name.find(marker);
        if (at != std::string::npos && at + marker.size() < name.size() && isDigit(name[at + marker.size()])) {
            name.resize(at);
        }
    }
    if (name.ends_with(".cold") || name.ends_with(".localalias")) {
        name.resize(name.rfind('.'));
    }
    const std::size_t hash = name.rfind("::h");
    if (hash != std::string::npos && name.size() - hash == 19 &&
        std::all_of(name.begin() + static_cast<std::ptrdiff_t>(hash) + 3, name.end(), isHexDigit)) {
        name.resize(hash);
    }
}

// __memmove_avx_unaligned_erms, __strlen_evex: the CPU's variant of a libc
// string function, which differs between machines that run the same code.
void nameStringFunctionVariant(std::string& name)
{
    if (!name.starts_with("__") || name.size() < 4 || std::string_view("mswr").find(name[2]) == std::string_view::npos) {
        return;
    }
    for (const auto variant : {"_avx", "_sse", "_evex", "_ssse3", "_erms"}) {
        const std::size_t at = name.find(variant, 3);
        if (at != std::string::npos) {
            name = name.substr(2, at - 2);
            return;
        }
    }
}

// The length of a date, time or both at the start of `text`, or 0:
// 2026-12-08, 11:00:00.016, 2026-12-08T11:00:00.016+01:00.
std::size_t timeLength(std::string_view text)
{
    const auto digits = [text](std::size_t at, std::size_t count) {
        return at + count <= text.size() && std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at),
                                                        text.begin() + static_cast<std::ptrdiff_t>(at + count), isDigit);
    };
    std::size_t at = 0;
    const bool date = digits(0, 4) && text.size() >= 10 && text[4] == '-' && digits(5, 2) && text[7] == '-' && digits(8, 2);
    if (date) {
        at = 10;
        if (at + 1 < text.size() && (text[at] == 'T' || text[at] == ' ') && digits(at + 1, 2) && text.size() > at + 3 && text[at + 3] == ':') {
            ++at;
        } else {
            return at;
        }
    }
    const std::size_t hours = digits(at, 2) ? 2 : digits(at, 1) ? 1 : 0;
    if (hours == 0 || !(text.size() > at + hours + 5 && text[at + hours] == ':' && digits(at + hours + 1, 2) &&
                        text[at + hours + 3] == ':' && digits(at + hours + 4, 2))) {
        return date ? 10 : 0;
    }
    at += hours + 6;
    if (at + 1 < text.size() && (text[at] == '.' || text[at] == ',') && isDigit(text[at + 1])) {
        for (++at; at < text.size() && isDigit(text[at]); ++at) {
        }
    }
    if (at < text.size() && text[at] == 'Z') {
        return at + 1;
    }
    if (at < text.size() && (text[at] == '+' || text[at] == '-') && digits(at + 1, 2)) {
        at += 3;
        const bool colon = at < text.size() && text[at] == ':';
        at += digits(at + (colon ? 1 : 0), 2) ? (colon ? 3 : 2) : 0;
    }
    return at;
}

bool isUuid(std::string_view text)
{
    if (text.size() < 36) {
        return false;
    }
    for (std::size_t i = 0; i < 36; ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? text[i] != '-' : !isHexDigit(text[i])) {
            return false;
        }
    }
    return text.size() == 36 || !isWordChar(text[36]);
}

// A word that is a number: decimal, 0x-prefixed hex, or at least five hex
// digits with a decimal one among them (hashes, addresses without 0x).
bool isNumber(std::string_view word)
{
    if (word.size() > 2 && word[0] == '0' && (word[1] | 0x20) == 'x') {
        return std::all_of(word.begin() + 2, word.end(), isHexDigit);
    }
    const bool hex = std::all_of(word.begin(), word.end(), isHexDigit);
    return hex && std::any_of(word.begin(), word.end(), isDigit) &&
           (word.size() >= 5 || std::all_of(word.begin(), word.end(), isDigit));
}

// Appends `word`, a run of word characters, with its numbers replaced.
void appendWord(std::string_view word, std::string& out)
{
    if (isNumber(word)) {
        out += "<n>";
    } else if (!isDigit(word.front())) {
        out += word;
    } else {
        // 12ms, 4th: the digits vary, the unit doesn't.
        for (std::size_t i = 0; i < word.size(); ++i) {
            if (!isDigit(word[i])) {
                out += word[i];
            } else if (i == 0 || !isDigit(word[i - 1])) {
                out += "<n>";
            }
        }
    }
}

// The length of the temporary directory that starts `text`, up to the last
// component: "/tmp/tmpab12cd/" in "/tmp/tmpab12cd/app.py"; else 0.
std::size_t temporaryDirectoryLength(std::string_view text)
{
    if (!text.starts_with("/tmp/") && !text.starts_with("/var/tmp/") && !text.starts_with("/dev/shm/")) {
        return 0;
    }
    const std::string_view path = text.substr(0, text.find_first_of(" \t'\"`,;:()[]{}<>|"));
    return path.rfind('/') + 1;
}

// The length of the quoted value that starts `text`, closing quote included, or 0.
std::size_t quotedLength(std::string_view text)
{
    for (std::size_t close = text.find(text[0], 1); close != std::string_view::npos; close = text.find(text[0], close + 1)) {
        if (close + 1 == text.size() || !isWordChar(text[close + 1])) {
            return close + 1;
        }
    }
    return 0;
}

// Appends the token at `at` with what varies replaced; returns the index after it.
std::size_t appendToken(std::string_view text, std::size_t at, std::string_view host, std::string& out)
{
    const std::string_view rest = text.substr(at);
    const char c = rest.front();
    if (at > 0 && isWordChar(text[at - 1])) {
        out += c;
        return at + 1;
    }
    const auto replace = [&](std::string_view token, std::size_t length) {
        out += token;
        return at + length;
    };
    if (!host.empty() && rest.starts_with(host) && (rest.size() == host.size() || !isWordChar(rest[host.size()]))) {
        return replace("<host>", host.size());
    }
    if (isUuid(rest)) {
        return replace("<uuid>", 36);
    }
    if (const std::size_t length = timeLength(rest); length > 0) {
        return replace("<time>", length);
    }
    if (const std::size_t length = temporaryDirectoryLength(rest); length > 0) {
        return replace("<tmp>/", length);
    }
    // Backticks quote code, which is the same in every report, more often than values.
    if (c == '\'' || c == '"') {
        if (const std::size_t length = quotedLength(rest); length > 0) {
            return replace(std::string(1, c) + std::string(kEllipsis) + c, length);
        }
    }
    if (!isWordChar(c)) {
        return replace(rest.substr(0, 1), 1);
    }
    const std::size_t length = std::min(rest.size(), rest.find_first_not_of(
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_"));
    appendWord(rest.substr(0, length), out);
    return at + length;
}

}  // namespace

std::string normaliseFunction(std::string_view name)
{
    std::string clean = printable(name, 4 * kMaxPieceBytes);
    std::string_view view = clean;
    while (view.starts_with("__GI_")) {
        view.remove_prefix(5);
    }
    std::string stripped = stripDecorations(view);
    dropCloneSuffix(stripped);
    nameStringFunctionVariant(stripped);
    return printable(stripped, kMaxPieceBytes);
}

std::string normaliseText(std::string_view text, std::string_view host)
{
    const std::string clean = printable(text, 4 * kMaxPieceBytes);
    std::string out;
    for (std::size_t at = 0; at < clean.size() && out.size() <= kMaxPieceBytes;) {
        at = appendToken(clean, at, host, out);
    }
    return printable(out, kMaxPieceBytes);
}

std::string signalName(std::string_view numberOrName)
{
    static constexpr std::array<std::string_view, 32> kNames{
        "",     "HUP",  "INT",  "QUIT", "ILL",  "TRAP", "ABRT", "BUS",  "FPE",  "KILL",   "USR1",
        "SEGV", "USR2", "PIPE", "ALRM", "TERM", "STKFLT", "CHLD", "CONT", "STOP", "TSTP", "TTIN",
        "TTOU", "URG",  "XCPU", "XFSZ", "VTALRM", "PROF", "WINCH", "IO",  "PWR",  "SYS"};
    std::string_view name = numberOrName;
    if (name.starts_with("SIG")) {
        name.remove_prefix(3);
    }
    if (!name.empty() && name.size() <= 2 && std::all_of(name.begin(), name.end(), isDigit)) {
        const std::size_t number = name.size() == 1 ? std::size_t(name[0] - '0') : std::size_t((name[0] - '0') * 10 + (name[1] - '0'));
        return number > 0 && number < kNames.size() ? "SIG" + std::string(kNames[number]) : std::string();
    }
    if (name == "IOT") {
        name = "ABRT";
    }
    const bool known = !name.empty() && std::find(kNames.begin(), kNames.end(), name) != kNames.end();
    return known ? "SIG" + std::string(name) : std::string();
}

std::string_view baseName(std::string_view path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace triage
