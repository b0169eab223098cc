#include "collector/Options.h"

#include "BuildConfig.h"
#include "collector/PageKeeper.h"
#include "common/CommandLine.h"
#include "common/FrameFormat.h"
#include "common/TimeText.h"
#include "signature/SkipRules.h"
#include "store/StoreOptions.h"

#include <arpa/inet.h>

#include <functional>
#include <limits>

namespace collector {

namespace {

constexpr std::uint64_t kAnySize = std::numeric_limits<std::int64_t>::max();

using crashreports::invalidValue;
using crashreports::OptionName;
using crashreports::parseNumber;

bool isIPv4Address(const std::string& text)
{
    in_addr address{};
    return ::inet_pton(AF_INET, text.c_str(), &address) == 1;
}

// Sets an option from its value; returns a usage error, or empty.
using Setter = std::function<std::string(Options&, std::string_view)>;

struct KnownOption {
    OptionName name;
    Setter set;
};

// An option that takes a size in bytes from `min` to `max`.
KnownOption sizeOption(std::string_view name, std::uint64_t min, std::uint64_t max,
                       std::function<void(Options&, std::uint64_t)> store)
{
    return {{name, true}, [=](Options& options, std::string_view value) {
                const auto size = parseSize(value, min, max);
                if (!size) {
                    return invalidValue(name, value,
                                   "not a size in bytes (K, M or G for powers of 1024) from " + std::to_string(min)
                                       + " to " + std::to_string(max));
                }
                store(options, *size);
                return std::string();
            }};
}

// An option that takes a whole number from `min` to `max`.
KnownOption numberOption(std::string_view name, std::uint64_t min, std::uint64_t max, std::string_view expected,
                         std::function<void(Options&, std::uint64_t)> store)
{
    return {{name, true}, [=](Options& options, std::string_view value) {
                const auto number = parseNumber(value, min, max);
                if (!number) {
                    return invalidValue(name, value, expected);
                }
                store(options, *number);
                return std::string();
            }};
}

// An option that takes no value.
KnownOption flagOption(std::string_view name, std::function<void(Options&)> store)
{
    return {{name, false}, [=](Options& options, std::string_view) {
                store(options);
                return std::string();
            }};
}

std::vector<KnownOption> networkOptions()
{
    return {
        {{"--bind", true},
         [](Options& options, std::string_view value) {
             options.bindAddress = std::string(value);
             return isIPv4Address(options.bindAddress) ? std::string() : invalidValue("--bind", value, "not an IPv4 address");
         }},
        numberOption("--port", 0, 65535, "not a port number from 0 to 65535",
                     [](Options& options, std::uint64_t port) { options.port = static_cast<std::uint16_t>(port); }),
        flagOption("--reuse-port", [](Options& options) { options.reusePort = true; }),
        {{"--allow", true},
         [](Options& options, std::string_view value) {
             const auto network = parseNetwork(value);
             if (!network) {
                 return invalidValue("--allow", value, "not an IPv4 address or network such as 10.0.0.0/8");
             }
             options.allowed.push_back(*network);
             return std::string();
         }},
        numberOption("--per-sender-limit", 0, std::numeric_limits<std::uint32_t>::max(),
                     "not a count of reports a minute", [](Options& options, std::uint64_t limit) {
                         options.perSenderLimit = static_cast<std::uint32_t>(limit);
                     }),
    };
}

std::vector<KnownOption> storingOptions()
{
    return {
        sizeOption("--max-report-size", 1, frame_format::kMaxReportSize,
                   [](Options& options, std::uint64_t size) { options.maxReportSize = size; }),
        sizeOption("--queue-size", kMinQueueSize, kAnySize,
                   [](Options& options, std::uint64_t size) { options.queueSize = size; }),
        sizeOption("--max-use", 0, kAnySize, [](Options& options, std::uint64_t size) { options.maxUse = size; }),
        sizeOption("--keep-free", 0, kAnySize, [](Options& options, std::uint64_t size) { options.keepFree = size; }),
        numberOption("--keep-free-inodes", 0, kAnySize, "not a count of inodes",
                     [](Options& options, std::uint64_t count) { options.keepFreeInodes = count; }),
        numberOption("--count", 1, UINT64_MAX, "not a whole number from 1 up",
                     [](Options& options, std::uint64_t count) { options.count = count; }),
        {{"--max-age", true},
         [](Options& options, std::string_view value) {
             options.maxAge = crashreports::parseSpan(value);
             return options.maxAge && options.maxAge->count() > 0
                 ? std::string()
                 : invalidValue("--max-age", value, "not a span such as 12h, 30d");
         }},
    };
}

std::vector<KnownOption> triageOptions()
{
    return {
        {{"--regressed-after", true},
         [](Options& options, std::string_view value) {
             const auto span = crashreports::parseSpan(value);
             options.regressedAfter = span.value_or(store::kDefaultRegressedAfter);
             return span ? std::string() : invalidValue("--regressed-after", value, "not a span such as 30s, 90m, 2h or 7d");
         }},
        {{"--on-new-group", true},
         [](Options& options, std::string_view value) {
             options.onNewGroup = std::string(value);
             return value.empty() ? invalidValue("--on-new-group", value, "an empty command") : std::string();
         }},
        {{"--skip-rules", true},
         [](Options& options, std::string_view value) {
             options.skipRules.emplace_back(value);
             return std::string();
         }},
        {{"--page", true},
         [](Options& options, std::string_view value) {
             options.page = std::filesystem::path(value);
             return value.empty() ? invalidValue("--page", value, "an empty directory name") : std::string();
         }},
        {{"--metrics", true},
         [](Options& options, std::string_view value) {
             options.metrics = std::filesystem::path(value);
             return value.empty() || value.back() == '/' ? invalidValue("--metrics", value, "not a file name")
                                                          : std::string();
         }},
    };
}

const std::vector<KnownOption>& knownOptions()
{
    static const std::vector<KnownOption> known = [] {
        auto options = networkOptions();
        for (auto more : {storingOptions(), triageOptions()}) {
            options.insert(options.end(), more.begin(), more.end());
        }
        return options;
    }();
    return known;
}

// Sets the store from the operands; a usage error, or empty.
std::string takeStore(Options& options, std::span<const std::string_view> operands)
{
    if (operands.size() != 1) {
        return operands.empty() ? "missing STORE"
                                : "one STORE expected, got " + std::to_string(operands.size()) + " operands";
    }
    if (operands.front().empty()) {
        return "an empty STORE: a directory or a postgresql:// URI";
    }
    options.store = store::StoreName(std::string(operands.front()));
    return {};
}

}  // namespace

Options::Options() : port(build_config::kCollectorPort) {}

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

std::string formatSize(std::uint64_t bytes)
{
    for (const auto& [shift, suffix] : {std::pair{30, "G"}, std::pair{20, "M"}, std::pair{10, "K"}}) {
        const std::uint64_t unit = std::uint64_t{1} << shift;
        if (bytes != 0 && bytes % unit == 0) {
            return std::to_string(bytes / unit) + suffix;
        }
    }
    return std::to_string(bytes);
}

namespace {

// The options of the socket, the queue and the budget.
std::string storingHelp()
{
    using store::kDefaultCap;
    const std::string percent = "% of the\n                           filesystem, at most " + formatSize(kDefaultCap)
        + "; 0: no limit)\n";
    return "  --bind ADDRESS           IPv4 address to listen on (default 0.0.0.0)\n"
           "  --port PORT              UDP port, 0 for any free one (default "
        + std::to_string(build_config::kCollectorPort)
        + ")\n"
          "  --reuse-port             share the port with other collectors (SO_REUSEPORT)\n"
          "  --max-report-size BYTES  largest report accepted (default "
        + formatSize(kDefaultMaxReportSize) + ", at most " + std::to_string(frame_format::kMaxReportSize)
        + ")\n"
          "  --queue-size BYTES       frames held for storing (default "
        + formatSize(kDefaultQueueSize) + ", at least " + formatSize(kMinQueueSize)
        + ")\n"
          "  --max-use BYTES          most that the reports may take (default "
        + std::to_string(store::kDefaultMaxUsePercent) + percent
        + "                           (in a database: their bytes across all collectors; default "
        + formatSize(kDefaultCap) + ")\n"
        + "  --keep-free BYTES        free space to leave (default " + std::to_string(store::kDefaultKeepFreePercent)
        + percent + "  --keep-free-inodes N     inodes to leave free (default "
        + std::to_string(store::kDefaultKeepFreePercent)
        + "% of the filesystem's; 0: no limit);\n"
          "                           neither applies to a database\n"
          "  --max-age SPAN           remove reports older than SPAN, but never a group's newest\n"
          "                           (default: none)\n";
}

// The options of senders, signatures, news, the page and the metrics.
std::string sendersAndTriageHelp()
{
    return "  --allow NETWORK          accept only senders in NETWORK (10.0.0.0/8, 192.0.2.7);\n"
           "                           repeatable (default: every sender)\n"
           "  --per-sender-limit N     at most N datagrams a minute from one address (default 0: none)\n"
           "  --count N                exit after storing N reports\n"
           "  --skip-rules FILE        frames to leave out of crash signatures, one regular expression\n"
           "                           a line; repeatable (default: "
        + std::string(triage::kDefaultRulesFile)
        + " if it is there)\n"
          "  --regressed-after SPAN   a crash group quiet this long comes back as regressed (default "
        + std::to_string(store::kDefaultRegressedAfter / std::chrono::hours(24))
        + "d)\n"
          "  --on-new-group COMMAND   run sh -c COMMAND for each new or regressed crash group, with\n"
          "                           CRASH_EVENT, CRASH_GROUP, CRASH_TITLE, CRASH_REPORT and\n"
          "                           CRASH_SENDER in its environment\n"
          "  --page DIR               keep the triage web page in DIR current (written again at most\n"
          "                           every "
        + std::to_string(PageKeeper::kEvery.count())
        + " s after a change)\n"
          "  --metrics FILE           write the collector's figures to FILE in Prometheus' text\n"
          "                           format, every "
        + std::to_string(kMetricsEvery.count()) + " s and at the end\n";
}

}  // namespace

std::string usageText()
{
    return "usage: collectCrashReports [OPTION]... STORE\n"
           "\n"
           "Receives crash report frames over UDP and stores each valid report into STORE: a directory\n"
           "(created if missing), a file a report, or a PostgreSQL database named by a postgresql://\n"
           "URI, a row a report, which collectors on many hosts may share. A report is announced on\n"
           "standard output once it is stored durably; everything else goes to standard error.\n"
           "SIGINT, SIGTERM or SIGHUP stops it: what is queued is stored, then a summary line is\n"
           "printed.\n"
           "\n"
        + storingHelp() + sendersAndTriageHelp()
        + "  --help                   print this help and exit\n"
          "  --version                print the version and exit\n"
          "\n"
          "Sizes take the suffixes K, M and G (powers of 1024); spans the units s, m, h and d.\n"
          "Options take their value as the next argument or after \"=\".\n"
          "\n"
          "Exit status: 0 after a stop by signal or --count; 1 if the socket, the store or the\n"
          "memory to start can't be had; 2 for a usage error.\n";
}

ParsedOptions parseOptions(std::span<const std::string_view> args)
{
    const auto& known = knownOptions();
    std::vector<OptionName> names;
    for (const auto& option : known) {
        names.push_back(option.name);
    }
    ParsedOptions parsed;
    const auto line = crashreports::readCommandLine(args, names, [&](std::size_t option, std::string_view value) {
        return known[option].set(parsed.options, value);
    });
    parsed.options.help = line.help;
    parsed.options.version = line.version;
    if (!line.error.empty() || line.help || line.version) {
        parsed.error = line.error;
        return parsed;
    }
    parsed.error = takeStore(parsed.options, line.operands);
    return parsed;
}

}  // namespace collector
