#pragma once

// Which frames of a stack say nothing about the bug: the C library's abort
// path, signal trampolines, thread starts, sanitizer runtimes, the kernel's
// reporting and locking, unwinding and panic machinery. Built-in lists, one
// for each platform (signature/rules/, embedded in the program), and
// operators' own rules from files.

#include <array>
#include <cstddef>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace triage {

// Where operators keep their rules, read when no other file is named.
inline constexpr const char* kDefaultRulesFile = "/etc/crash-reports/skip-frames";

// Whose frames a rule is for: each names a file under signature/rules/ and
// a section of an operator's file ("[kernel]").
enum class Platform { Kernel, Native, Sanitizer, Go, Python, Java, Rust };
inline constexpr std::size_t kPlatformCount = 7;
inline constexpr std::array<std::string_view, kPlatformCount> kPlatformNames{
    "kernel", "native", "sanitizer", "go", "python", "java", "rust"};

// A set of platforms: a sanitizer's stack holds native frames too.
class Platforms {
public:
    constexpr Platforms(std::initializer_list<Platform> platforms)
    {
        for (const Platform platform : platforms) {
            bits_ |= bit(platform);
        }
    }
    static constexpr Platforms all()
    {
        Platforms every{};
        every.bits_ = (1U << kPlatformCount) - 1;
        return every;
    }
    constexpr bool has(Platform platform) const { return (bits_ & bit(platform)) != 0; }
    constexpr bool overlaps(Platforms other) const { return (bits_ & other.bits_) != 0; }

private:
    static constexpr unsigned bit(Platform platform) { return 1U << static_cast<unsigned>(platform); }
    unsigned bits_ = 0;
};

class SkipRules {
public:
    // Skips nothing.
    SkipRules();
    SkipRules(SkipRules&&) noexcept;
    SkipRules& operator=(SkipRules&&) noexcept;
    ~SkipRules();

    // The frames that no stack's signature should name, whatever the program.
    static SkipRules builtIn();

    // Adds one POSIX extended regular expression for each line of the file
    // at `path`; '#' starts a comment line, blank lines are ignored, and the
    // ends of a line are trimmed. A rule skips a normalised function name
    // that it matches anywhere: anchor it with ^ and $ to match a whole name.
    // Rules before any section header are for every platform; a line
    // "[kernel]" (a name of kPlatformNames) makes those after it the
    // kernel's, "[all]" every platform's again. Back-references (\1) are
    // refused: they can make matching take exponential time.
    // Returns an error line naming the file and line number and why, or
    // empty; a file with an error adds no rule.
    std::string addFile(const std::filesystem::path& path);

    // Whether the frame of `function`, a normalised name, is to be left out
    // of a stack of `platforms`. A glibc alias (__GI_raise) is judged by the
    // name it aliases.
    bool skips(std::string_view function, Platforms platforms) const;
    // Whether any platform's rules skip it.
    bool skips(std::string_view function) const { return skips(function, Platforms::all()); }

    // Whether `function` is a kernel dispatcher: a function that calls
    // handlers it is given (a work queue's worker, a timer, a system call's
    // entry, the network's receive path). A stall or a stack overflow is
    // named by the handler it called.
    bool dispatches(std::string_view function) const;

private:
    class Pattern;
    struct Lists;

    std::shared_ptr<const Lists> builtIn_;
    std::vector<std::unique_ptr<Pattern>> patterns_;
};

struct LoadedRules {
    SkipRules rules;
    std::string error;  // naming the file, the line and why; empty if none
};

// The built-in rules and those of `files`, in order; with no files, those
// of kDefaultRulesFile unless it is missing. The first file with an error stops the
// loading, and the error says which.
LoadedRules loadSkipRules(std::span<const std::filesystem::path> files);

}  // namespace triage
