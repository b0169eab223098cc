// The first lines of the kernel's reports, and the kinds they name.

#include "signature/KernelHeaders.h"

#include "signature/Characters.h"
#include "signature/KernelLines.h"
#include "signature/Normalize.h"

#include <algorithm>
#include <array>

namespace triage {

namespace {

constexpr auto npos = std::string_view::npos;

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

}  // namespace

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

namespace {

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

}  // namespace

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


}  // namespace triage
