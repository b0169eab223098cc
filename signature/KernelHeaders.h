#pragma once

// Private to signature/.

// The first lines of the kernel's reports: which kind of report a line
// starts, the kind it names, and where that kind of report names its function.

#include "signature/Formats.h"

#include <string>
#include <string_view>

namespace triage {

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


struct Found {
    const Header* header = nullptr;
    std::string_view text;  // the line from where the header starts
};

// The report that `line` starts, if any.
Found findHeader(std::string_view line);

// The kind of the report that `found`, on lines[header], starts.
std::string kindOf(const Found& found, Lines lines, std::size_t header, std::string_view host);

}  // namespace triage
