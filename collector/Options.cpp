#include "Options.h"

#include <arpa/inet.h>

#include <charconv>
#include <functional>
#include <limits>

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

// Sets an option from its value; returns a usage error, or empty.
using Setter = std::function<std::string(Options&, std::string_view)>;

struct KnownOption {
    std::string_view name;
    bool takesValue;
    Setter set;
};

std::string invalid(std::string_view option, std::string_view value, std::string_view expected)
{
    return "invalid " + std::string(option) + " \"" + std::string(value) + "\": " + std::string(expected);
}

// An option that takes a size in bytes from `min` to `max`.
KnownOption sizeOption(std::string_view name, std::uint64_t min, std::uint64_t max,
                       std::function<void(Options&, std::uint64_t)> store)
{
    return {name, true, [=](Options& options, std::string_view value) {
                const auto size = parseSize(value, min, max);
                if (!size) {
                    return invalid(name, value,
                                   "not a size in bytes (K, M or G for powers of 1024) from " + std::to_string(min)
                                       + " to " + std::to_string(max));
                }
                store(options, *size);
                return std::string();
            }};
}

const std::vector<KnownOption>& knownOptions()
{
    constexpr std::uint64_t kAnySize = std::numeric_limits<std::int64_t>::max();
    static const std::vector<KnownOption> known{
        {"--bind", true,
         [](Options& options, std::string_view value) {
             options.bindAddress = std::string(value);
             return isIPv4Address(options.bindAddress) ? std::string() : invalid("--bind", value, "not an IPv4 address");
         }},
        {"--port", true,
         [](Options& options, std::string_view value) {
             const auto port = parseNumber(value, 0, 65535);
             options.port = static_cast<std::uint16_t>(port.value_or(0));
             return port ? std::string() : invalid("--port", value, "not a port number from 0 to 65535");
         }},
        {"--reuse-port", false, [](Options& options, std::string_view) {
             options.reusePort = true;
             return std::string();
         }},
        sizeOption("--max-report-size", 1, kMaxReportSize,
                   [](Options& options, std::uint64_t size) { options.maxReportSize = size; }),
        sizeOption("--queue-size", kMinQueueSize, kAnySize,
                   [](Options& options, std::uint64_t size) { options.queueSize = size; }),
        sizeOption("--max-use", 0, kAnySize, [](Options& options, std::uint64_t size) { options.maxUse = size; }),
        sizeOption("--keep-free", 0, kAnySize, [](Options& options, std::uint64_t size) { options.keepFree = size; }),
        {"--allow", true,
         [](Options& options, std::string_view value) {
             const auto network = parseNetwork(value);
             if (!network) {
                 return invalid("--allow", value, "not an IPv4 address or network such as 10.0.0.0/8");
             }
             options.allowed.push_back(*network);
             return std::string();
         }},
        {"--per-sender-limit", true,
         [](Options& options, std::string_view value) {
             const auto limit = parseNumber(value, 0, std::numeric_limits<std::uint32_t>::max());
             options.perSenderLimit = static_cast<std::uint32_t>(limit.value_or(0));
             return limit ? std::string() : invalid("--per-sender-limit", value, "not a count of reports a minute");
         }},
        {"--count", true,
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

std::optional<std::uint64_t> parseSize(std::string_view text, std::uint64_t min, std::uint64_t max)
{
    std::uint64_t unit = 1;
    if (!text.empty()) {
        switch (text.back()) {
        case 'K': unit = std::uint64_t{1} << 10; break;
        case 'M': unit = std::uint64_t{1} << 20; break;
        case 'G': unit = std::uint64_t{1} << 30; break;
        default: break;
        }
    }
    const auto number = parseNumber(unit == 1 ? text : text.substr(0, text.size() - 1), 0, max / unit);
    if (!number || *number * unit < min) {
        return std::nullopt;
    }
    return *number * unit;
}

std::string usageText()
{
    const std::string port = std::to_string(kDefaultPort);
    return "usage: collectCrashReports [OPTION]... DIRECTORY\n"
           "\n"
           "Receives crash report frames over UDP and stores each valid report as a file in DIRECTORY\n"
           "(created if missing). A report is announced on standard output once it is on stable storage;\n"
           "everything else goes to standard error. SIGINT or SIGTERM stops it: what is queued is\n"
           "stored, then a summary line is printed.\n"
           "\n"
           "  --bind ADDRESS           IPv4 address to listen on (default 0.0.0.0)\n"
           "  --port PORT              UDP port, 0 for any free one (default "
        + port
        + ")\n"
          "  --reuse-port             share the port with other collectors (SO_REUSEPORT)\n"
          "  --max-report-size BYTES  largest report accepted (default 8M, at most 67599096)\n"
          "  --queue-size BYTES       frames held for storing (default 64M, at least 64K)\n"
          "  --max-use BYTES          most that the reports may take (default 10% of the\n"
          "                           filesystem, at most 4G; 0: no limit)\n"
          "  --keep-free BYTES        free space to leave (default 15% of the filesystem,\n"
          "                           at most 4G; 0: no limit)\n"
          "  --allow NETWORK          accept only senders in NETWORK (10.0.0.0/8, 192.0.2.7);\n"
          "                           repeatable (default: every sender)\n"
          "  --per-sender-limit N     at most N datagrams a minute from one address (default 0: none)\n"
          "  --count N                exit after storing N reports\n"
          "  --help                   print this help and exit\n"
          "  --version                print the version and exit\n"
          "\n"
          "Sizes take the suffixes K, M and G (powers of 1024). Options take their value as the next\n"
          "argument or after \"=\".\n"
          "\n"
          "Exit status: 0 after a stop by signal or --count; 1 if the socket or the directory can't be\n"
          "had; 2 for a usage error.\n";
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
        if (arg == "--version") {
            parsed.options.version = true;
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
        if (!option->takesValue) {
            if (equals != std::string_view::npos) {
                parsed.error = "option " + std::string(option->name) + " takes no value";
                return parsed;
            }
        } else if (equals != std::string_view::npos) {
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
