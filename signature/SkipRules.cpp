#include "signature/SkipRules.h"

#include <regex.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>

namespace triage {

namespace {

// Sorted, for a binary search.
constexpr std::array kSkippedNames = std::to_array<std::string_view>({
    "<signal handler called>", "??", "_Unwind_RaiseException", "_Unwind_Resume", "__assert_fail",
    "__assert_fail_base", "__assert_perror_fail", "__bad_area_nosemaphore", "__chk_fail", "__clone", "__clone3",
    "__clone_internal", "__cxa_call_terminate", "__cxa_rethrow", "__cxa_throw", "__cxxabiv1::__terminate", "__die",
    "__die_body", "__dump_stack", "__fortify_fail", "__gnu_cxx::__verbose_terminate_handler", "__kernel_rt_sigreturn",
    "__libc_message", "__libc_message_impl", "__libc_start_call_main", "__libc_start_main",
    "__libc_start_main_impl", "__malloc_assert", "__pthread_kill_implementation", "__pthread_kill_internal",
    "__restore_rt", "__stack_chk_fail", "__warn", "_start", "abort", "asm_exc_general_protection",
    "asm_exc_invalid_op", "asm_exc_page_fault", "bad_area_nosemaphore", "clone", "clone3", "die",
    "do_error_trap", "do_kern_addr_fault", "do_trap", "do_user_addr_fault", "dump_stack", "dump_stack_lvl",
    "exc_general_protection", "exc_invalid_op", "exc_page_fault", "gsignal", "handle_bug",
    "java.lang.Thread.run", "java.lang.Thread.runWith", "java.lang.reflect.Method.invoke", "kasan_report",
    "kernelmode_fixup_or_oops", "malloc_printerr", "n/a", "no_context", "oops_end", "page_fault_oops", "panic",
    "print_report", "pthread_kill", "raise", "report_bug", "rust_begin_unwind", "rust_panic", "show_stack",
    "start_thread", "std::__terminate", "std::abort", "std::terminate", "thread_start", "warn_slowpath_fmt",
});
static_assert(std::ranges::is_sorted(kSkippedNames));

// Runtimes whose every function is machinery: sanitizers' interceptors and
// reports, reflection, unwinding, the throw helpers of the C++ library.
constexpr std::array kSkippedPrefixes = std::to_array<std::string_view>({
    "__interceptor_", "___interceptor_", "__asan_", "__sanitizer_", "__ubsan_", "__tsan_", "__msan_", "__lsan_",
    "__hwasan_", "__kasan_", "kasan_", "std::__throw_", "jdk.internal.reflect.", "sun.reflect.",
});

constexpr std::string_view kAliasPrefix = "__GI_";

std::string_view trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t\r");
    return first == std::string_view::npos ? std::string_view() : text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

// A compiled rule, freed with it.
class SkipRules::Pattern {
public:
    Pattern() = default;
    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;
    ~Pattern()
    {
        if (compiled_) {
            regfree(&regex_);
        }
    }

    // Empty, or why `expression` is no rule.
    std::string compile(const std::string& expression)
    {
        const int status = regcomp(&regex_, expression.c_str(), REG_EXTENDED | REG_NOSUB);
        if (status != 0) {
            std::array<char, 256> reason{};
            regerror(status, &regex_, reason.data(), reason.size());
            return reason.data();
        }
        compiled_ = true;
        return {};
    }

    bool matches(const std::string& text) const { return regexec(&regex_, text.c_str(), 0, nullptr, 0) == 0; }

private:
    regex_t regex_{};
    bool compiled_ = false;
};

SkipRules::SkipRules() = default;
SkipRules::SkipRules(SkipRules&&) noexcept = default;
SkipRules& SkipRules::operator=(SkipRules&&) noexcept = default;
SkipRules::~SkipRules() = default;

SkipRules SkipRules::builtIn()
{
    SkipRules rules;
    rules.builtIn_ = true;
    return rules;
}

std::string SkipRules::addFile(const std::filesystem::path& path)
{
    std::ifstream file(path);
    if (!file) {
        return path.string() + ": can't read: " + std::strerror(errno);
    }
    std::vector<std::unique_ptr<Pattern>> added;
    std::string line;
    for (unsigned number = 1; std::getline(file, line); ++number) {
        const std::string_view rule = trim(line);
        if (rule.empty() || rule.front() == '#') {
            continue;
        }
        auto pattern = std::make_unique<Pattern>();
        if (std::string reason = pattern->compile(std::string(rule)); !reason.empty()) {
            return path.string() + ":" + std::to_string(number) + ": " + reason;
        }
        added.push_back(std::move(pattern));
    }
    if (file.bad()) {
        return path.string() + ": can't read: " + std::strerror(errno);
    }
    std::move(added.begin(), added.end(), std::back_inserter(patterns_));
    return {};
}

LoadedRules loadSkipRules(std::span<const std::filesystem::path> files)
{
    LoadedRules loaded{SkipRules::builtIn(), {}};
    std::error_code error;
    const std::filesystem::path defaultFile(kDefaultRulesFile);
    // A default file that can't even be looked at is read all the same, so
    // that why is said rather than its rules silently left out.
    if (files.empty() && (std::filesystem::exists(defaultFile, error) || error)) {
        files = std::span(&defaultFile, 1);
    }
    for (const auto& file : files) {
        if (loaded.error = loaded.rules.addFile(file); !loaded.error.empty()) {
            break;
        }
    }
    return loaded;
}

bool SkipRules::skips(std::string_view function) const
{
    while (function.starts_with(kAliasPrefix)) {
        function.remove_prefix(kAliasPrefix.size());
    }
    if (builtIn_) {
        if (std::ranges::binary_search(kSkippedNames, function)) {
            return true;
        }
        const auto starts = [function](std::string_view prefix) { return function.starts_with(prefix); };
        if (std::ranges::any_of(kSkippedPrefixes, starts)) {
            return true;
        }
    }
    if (patterns_.empty()) {
        return false;
    }
    const std::string name(function);
    return std::ranges::any_of(patterns_, [&name](const auto& pattern) { return pattern->matches(name); });
}

}  // namespace triage
