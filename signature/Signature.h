#pragma once

// A crash report's signature: the same for reports of one bug whatever their
// addresses, numbers, process and thread ids, times, UUIDs, temporary paths
// and host names, and different where the crashing frames or the kind of
// error differ. Computed from the report's bytes alone, which are untrusted:
// any content gives a signature whose texts are printable and bounded.

#include "signature/SkipRules.h"

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace triage {

// Stored with each report's signature: reports stored under another version
// had theirs computed otherwise, and can have it computed again.
inline constexpr int kSignatureVersion = 2;

// The crashing function and two callers tell bugs apart that share a helper,
// while changes deeper in the stack (inlining, callers refactored, a thread
// pool's frames) leave reports of one bug in one group.
inline constexpr std::size_t kMaxFrames = 3;

inline constexpr std::size_t kMaxTitleCodePoints = 120;
inline constexpr std::size_t kMaxTextBytes = 1024;
inline constexpr std::size_t kMaxFactBytes = 256;

// What a report says about where it comes from; empty where it doesn't say.
// Printable, at most kMaxFactBytes each.
struct ReportFacts {
    std::string host;
    std::string unit;
    std::string executable;
    std::string signal;  // "SIGSEGV"
    // The version of what crashed: a "Version: " line among the report's
    // first kVersionLines lines (of a unit's report: of its first section,
    // where sendUnitCrashReport writes its package's version).
    std::string version;
};

inline constexpr std::size_t kVersionLines = 20;

struct Signature {
    // What went wrong: "SIGSEGV", "ValueError", "AddressSanitizer:
    // heap-use-after-free", "panic", "BUG: kernel NULL pointer dereference".
    std::string kind;
    // The frames that identify the bug, innermost (crashing) first, at most
    // kMaxFrames; for a report without a stack, what stands in for one (the
    // unit that failed, the first line that reads as an error).
    std::vector<std::string> frames;
    // The kind, then the frames, joined with " | ": printable, at most
    // kMaxTextBytes. Reports of one bug share it.
    std::string text;
    // 16 lowercase hex digits of the 64-bit FNV-1a hash of `text`: the same
    // on every build and machine.
    std::string id;
    // For people: "SIGSEGV in parse_header". Printable, at most
    // kMaxTitleCodePoints code points.
    std::string title;
    ReportFacts facts;
};

// The signature of `report`, without the frames that `rules` skip. Reads the
// first MiB of a report (of a unit's report: of its core dump section, and
// the last 256 KiB of its journal); its cost grows with that, and otherwise
// only with the few searches for a unit report's section headers.
Signature computeSignature(std::span<const unsigned char> report, const SkipRules& rules);

}  // namespace triage
