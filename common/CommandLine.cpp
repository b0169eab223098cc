#include "common/CommandLine.h"

#include <algorithm>
#include <charconv>

namespace crashreports {

namespace {

// Takes the option that `args[index]` names, its value from the same
// argument after "=" or from the next one; a usage error, or empty.
std::string takeOne(std::span<const std::string_view> args, std::size_t& index, std::span<const OptionName> known,
                    const TakeOption& take)
{
    const std::string_view arg = args[index];
    const auto equals = arg.find('=');
    const std::string_view name = arg.substr(0, equals);
    const auto found = std::ranges::find(known, name, &OptionName::name);
    if (found == known.end()) {
        return "unknown option " + inQuotes(arg);
    }
    const auto option = static_cast<std::size_t>(found - known.begin());
    if (!found->takesValue) {
        return equals == std::string_view::npos ? take(option, {})
                                                : "option " + std::string(name) + " takes no value";
    }
    if (equals != std::string_view::npos) {
        return take(option, arg.substr(equals + 1));
    }
    if (index + 1 == args.size()) {
        return "option " + std::string(name) + " needs a value";
    }
    return take(option, args[++index]);
}

}  // namespace

CommandLine readCommandLine(std::span<const std::string_view> args, std::span<const OptionName> known,
                            const TakeOption& take)
{
    CommandLine line;
    bool optionsEnded = false;
    for (std::size_t index = 0; index < args.size() && line.error.empty(); ++index) {
        const std::string_view arg = args[index];
        if (optionsEnded || !arg.starts_with("-") || arg == "-") {
            line.operands.push_back(arg);
        } else if (arg == "--version" && !line.operands.empty()
                   && std::ranges::find(known, arg, &OptionName::name) != known.end()) {
            // After a command, a program's own --version VALUE.
            line.error = takeOne(args, index, known, take);
        } else if (arg == "--help" || arg == "-h" || arg == "--version") {
            (arg == "--version" ? line.version : line.help) = true;
            break;
        } else if (arg == "--") {
            optionsEnded = true;
        } else {
            line.error = takeOne(args, index, known, take);
        }
    }
    return line;
}

std::string inQuotes(std::string_view text)
{
    std::string quoted(1, '"');
    quoted += text;
    quoted += '"';
    return quoted;
}

std::string invalidValue(std::string_view what, std::string_view value, std::string_view expected)
{
    return "invalid " + std::string(what) + " " + inQuotes(value) + ": " + std::string(expected);
}

std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t min, std::uint64_t max)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

}  // namespace crashreports
