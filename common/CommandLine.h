#pragma once

// The command lines of the collector and the reader, read one way: long
// options ("--port 9699" or "--port=9699"), operands, "--" to end the
// options, and --help, -h or --version to stop reading at once. What each
// option means is the program's: it is handed each one, in order, and says
// whether its value is good. Usage errors name the argument as given.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace crashreports {

// An option a program knows: its name with the dashes, and whether it takes
// a value.
struct OptionName {
    std::string_view name;
    bool takesValue = false;
};

struct CommandLine {
    std::vector<std::string_view> operands;  // in order, every argument after "--" among them
    bool help = false;                       // --help or -h came before any usage error
    bool version = false;                    // --version came before any usage error
    std::string error;                       // the first usage error; empty if none
};

// Takes the option `known[option]` with `value` (empty for one that takes
// none); returns a usage error, or empty.
using TakeOption = std::function<std::string(std::size_t option, std::string_view value)>;

// Reads `args` (without the program's name), handing each option of `known`
// to `take` in the order given. Stops at the first usage error ("unknown
// option \"--bogus\"", "option --port needs a value", "option --json takes
// no value", or one of take's), and at --help, -h or --version (but for a
// --version of `known` after an operand: a command's own option).
CommandLine readCommandLine(std::span<const std::string_view> args, std::span<const OptionName> known,
                            const TakeOption& take);

// `text` between double quotes, as usage errors show values.
std::string inQuotes(std::string_view text);
// "invalid WHAT \"VALUE\": EXPECTED".
std::string invalidValue(std::string_view what, std::string_view value, std::string_view expected);
// A whole decimal number from `min` to `max`, digits only; nothing for
// anything else.
std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t min, std::uint64_t max);

}  // namespace crashreports
