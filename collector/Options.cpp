#include "Options.h"

#include <arpa/inet.h>

#include <charconv>
#include <functional>
#include <vector>

namespace collector {

namespace {

// A whole decimal number from `min` to `max`; nothing for anything else.
std::optional<std::uint64_t> parseNumber(std::string_view text, std::uint64_t min, std::uint64_t max)
{
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

bool isIPv4Address(const std::string& text)
{
    in_addr address{};
    return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

using Setter = std::function<std::string(Options&, std::string_view)>;

struct KnownOption {
    std::string_view name;
    Setter set;  // returns a usage error, or empty
};

std::string invalid(std::string_view option, std::string_view value, std::string_view expected)
{
    return "invalid " + std::string(option) + " \"" + std::string(value) + "\": " + std::string(expected);
}

const std::vector<KnownOption>& knownOptions()
{
    static const std::vector<KnownOption> known{
        {"--bind",
         [](Options& options, std::string_view value) {
             options.bindAddress = std::string(value);
             return isIPv4Address(options.bindAddress) ? std::string() : invalid("--bind", value, "not an IPv4 address");
         }},
        {"--port",
         [](Options& options, std::string_view value) {
             const auto port = parseNumber(value, 0, 65535);
             options.port = static_cast<std::uint16_t>(port.value_or(0));
             return port ? std::string() : invalid("--port", value, "not a port number from 0 to 65535");
         }},
        {"--max-report-size",
         [](Options& options, std::string_view value) {
             const auto size = parseNumber(value, 1, kMaxReportSize);
             options.maxReportSize = size.value_or(0);
             return size ? std::string()
                         : invalid("--max-report-size", value,
                                   "not a size in bytes from 1 to " + std::to_string(kMaxReportSize));
         }},
        {"--count",
         [](Options& options, std::string_view value) {
             options.count = parseNumber(value, 1, UINT64_MAX);
             return options.count ? std::string() : invalid("--count", value, "not a whole number from 1 up");
         }},
    };
    return known;
}

const KnownOption* findOption(std::string_view name)
{
    for (const auto& option : knownOptions()) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

}  // namespace

std::string_view usageText()
{
    return "usage: collectCrashReports [--bind ADDRESS] [--port PORT] [--max-report-size BYTES] [--count N] DIRECTORY\n"
           "\n"
           "Receives crash report frames over UDP and stores each valid report as a file in DIRECTORY\n"
           "(created if missing). Logs one line per stored report on standard output and one line per\n"
           "rejected datagram on standard error (at most 100 a second). SIGINT or SIGTERM stops it after\n"
           "a summary line.\n"
           "\n"
           "  --bind ADDRESS          IPv4 address to listen on (default 0.0.0.0)\n"
           "  --port PORT             UDP port, 0 for any free one (default 9699)\n"
           "  --max-report-size BYTES largest report accepted (default and most 67599096, all that one\n"
           "                          datagram can carry)\n"
           "  --count N               exit after storing N reports\n"
           "  --help                  print this help and exit\n"
           "\n"
           "Exit status: 0 after --count reports or a signal, 1 if the directory can't be created or the\n"
           "socket can't be bound, 2 for a usage error.\n";
}

ParsedOptions parseOptions(std::span<const std::string_view> args)
{
    ParsedOptions parsed;
    std::vector<std::string_view> operands;
    for (std::size_t index = 0; index < args.size(); ++index) {
        const std::string_view arg = args[index];
        if (arg == "--help" || arg == "-h") {
            parsed.options.help = true;
            return parsed;
        }
        if (arg == "--") {
            operands.insert(operands.end(), args.begin() + static_cast<std::ptrdiff_t>(index) + 1, args.end());
            break;
        }
        if (!arg.starts_with("-") || arg == "-") {
            operands.push_back(arg);
            continue;
        }
        const auto equals = arg.find('=');
        const KnownOption* option = findOption(arg.substr(0, equals));
        if (option == nullptr) {
            parsed.error = "unknown option \"" + std::string(arg) + "\"";
            return parsed;
        }
        std::string_view value;
        if (equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
        } else if (index + 1 < args.size()) {
            value = args[++index];
        } else {
            parsed.error = "option " + std::string(option->name) + " needs a value";
            return parsed;
        }
        if (parsed.error = option->set(parsed.options, value); !parsed.error.empty()) {
            return parsed;
        }
    }
    if (operands.size() != 1) {
        parsed.error = operands.empty() ? "missing DIRECTORY"
                                        : "one DIRECTORY expected, got " + std::to_string(operands.size()) + " operands";
        return parsed;
    }
    parsed.options.directory = std::string(operands.front());
    return parsed;
}

}  // namespace collector
