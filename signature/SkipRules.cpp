#include "signature/SkipRules.h"

#include "signature/BuiltInRules.h"

#include <regex.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

namespace triage {

namespace {

constexpr std::string_view kAliasPrefix = "__GI_";
constexpr std::string_view kDispatchersFile = "kernel-dispatchers";

std::string_view trim(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t\r");
    return first == std::string_view::npos ? std::string_view() : text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The names of a built-in rule file: each line an exact name, or a prefix
// written as "name*"; '#' starts a comment.
struct NameList {
    std::vector<std::string_view> names;     // sorted
    std::vector<std::string_view> prefixes;  // sorted, none the prefix of another

    explicit NameList(std::string_view text)
    {
        while (!text.empty()) {
            const std::size_t end = std::min(text.size(), text.find('\n'));
            const std::string_view rule = trim(text.substr(0, end));
            text.remove_prefix(std::min(text.size(), end + 1));
            if (rule.empty() || rule.front() == '#') {
                continue;
            }
            (rule.ends_with('*') ? prefixes : names).push_back(rule.ends_with('*') ? rule.substr(0, rule.size() - 1) : rule);
        }
        std::ranges::sort(names);
        std::ranges::sort(prefixes);
        // A prefix that a shorter one starts with adds nothing, and would
        // hide that one from the search below.
        std::vector<std::string_view> kept;
        for (const std::string_view prefix : prefixes) {
            if (kept.empty() || !prefix.starts_with(kept.back())) {
                kept.push_back(prefix);
            }
        }
        prefixes = std::move(kept);
    }

    bool holds(std::string_view function) const
    {
        if (std::ranges::binary_search(names, function)) {
            return true;
        }
        // The only prefix that can start `function` is the greatest one not after it.
        const auto after = std::ranges::upper_bound(prefixes, function);
        return after != prefixes.begin() && function.starts_with(*std::prev(after));
    }
};

std::optional<Platform> platformNamed(std::string_view name)
{
    const auto found = std::ranges::find(kPlatformNames, name);
    return found == kPlatformNames.end() ? std::nullopt
                                         : std::optional(static_cast<Platform>(found - kPlatformNames.begin()));
}

const RuleFile* ruleFileNamed(std::string_view name)
{
    const auto files = builtInRuleFiles();
    const auto found = std::ranges::find(files, name, &RuleFile::name);
    return found == files.end() ? nullptr : &*found;
}

// A back-reference: "\1" to "\9".
bool hasBackReference(std::string_view expression)
{
    for (std::size_t at = expression.find('\\'); at != std::string_view::npos && at + 1 < expression.size();
         at = expression.find('\\', at + 2)) {
        if (expression[at + 1] >= '1' && expression[at + 1] <= '9') {
            return true;
        }
    }
    return false;
}

}  // namespace

// The built-in lists, read once from the embedded files.
struct SkipRules::Lists {
    std::vector<NameList> platforms;
    NameList dispatchers{std::string_view()};

    Lists()
    {
        for (const std::string_view name : kPlatformNames) {
            const RuleFile* file = ruleFileNamed(name);
            platforms.emplace_back(file == nullptr ? std::string_view() : file->text);
        }
        if (const RuleFile* file = ruleFileNamed(kDispatchersFile); file != nullptr) {
            dispatchers = NameList(file->text);
        }
    }
};

// A compiled rule, freed with it.
class SkipRules::Pattern {
public:
    explicit Pattern(Platforms platforms) : platforms_(platforms) {}
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
        if (hasBackReference(expression)) {
            return "back-references (\\1 to \\9) are not allowed: they can make matching take exponential time";
        }
        const int status = regcomp(&regex_, expression.c_str(), REG_EXTENDED | REG_NOSUB);
        if (status != 0) {
            std::array<char, 256> reason{};
            regerror(status, &regex_, reason.data(), reason.size());
            return reason.data();
        }
        compiled_ = true;
        return {};
    }

    bool matches(const std::string& text, Platforms platforms) const
    {
        return platforms_.overlaps(platforms) && regexec(&regex_, text.c_str(), 0, nullptr, 0) == 0;
    }

private:
    Platforms platforms_;
    regex_t regex_{};
    bool compiled_ = false;
};

SkipRules::SkipRules() = default;
SkipRules::SkipRules(SkipRules&&) noexcept = default;
SkipRules& SkipRules::operator=(SkipRules&&) noexcept = default;
SkipRules::~SkipRules() = default;

SkipRules SkipRules::builtIn()
{
    static const auto lists = std::make_shared<const Lists>();
    SkipRules rules;
    rules.builtIn_ = lists;
    return rules;
}

std::string SkipRules::addFile(const std::filesystem::path& path)
{
    std::ifstream file(path);
    if (!file) {
        return path.string() + ": can't read: " + std::strerror(errno);
    }
    std::vector<std::unique_ptr<Pattern>> added;
    Platforms section = Platforms::all();
    std::string line;
    for (unsigned number = 1; std::getline(file, line); ++number) {
        const std::string_view rule = trim(line);
        const auto error = [&](std::string_view why) { return path.string() + ":" + std::to_string(number) + ": " + std::string(why); };
        if (rule.empty() || rule.front() == '#') {
            continue;
        }
        if (rule.front() == '[' && rule.back() == ']') {
            const std::string_view name = rule.substr(1, rule.size() - 2);
            const std::optional<Platform> platform = platformNamed(name);
            if (!platform && name != "all") {
                return error("no platform is named " + std::string(name) + " (kernel, native, sanitizer, go, python, java, rust or all)");
            }
            section = platform ? Platforms{*platform} : Platforms::all();
            continue;
        }
        auto pattern = std::make_unique<Pattern>(section);
        if (std::string reason = pattern->compile(std::string(rule)); !reason.empty()) {
            return error(reason);
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

bool SkipRules::skips(std::string_view function, Platforms platforms) const
{
    while (function.starts_with(kAliasPrefix)) {
        function.remove_prefix(kAliasPrefix.size());
    }
    if (builtIn_) {
        for (std::size_t platform = 0; platform < kPlatformCount; ++platform) {
            if (platforms.has(static_cast<Platform>(platform)) && builtIn_->platforms[platform].holds(function)) {
                return true;
            }
        }
    }
    if (patterns_.empty()) {
        return false;
    }
    const std::string name(function);
    return std::ranges::any_of(patterns_, [&](const auto& pattern) { return pattern->matches(name, platforms); });
}

bool SkipRules::dispatches(std::string_view function) const
{
    return builtIn_ && builtIn_->dispatchers.holds(function);
}

}  // namespace triage
