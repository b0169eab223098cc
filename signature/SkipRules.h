#pragma once

// Which frames of a stack say nothing about the bug: the C library's abort
// path, signal trampolines, thread starts, sanitizer runtimes, unwinding and
// panic machinery. Built-in names, and operators' own rules from files.

#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace triage {

// Where operators keep their rules, read when no other file is named.
inline constexpr const char* kDefaultRulesFile = "/etc/crash-reports/skip-frames";

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
    // Returns an error line naming the file and line number and why, or
    // empty; a file with an error adds no rule.
    std::string addFile(const std::filesystem::path& path);

    // Whether the frame of `function`, a normalised name, is to be left out.
    // A glibc alias (__GI_raise) is judged by the name it aliases.
    bool skips(std::string_view function) const;

private:
    class Pattern;

    bool builtIn_ = false;
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
