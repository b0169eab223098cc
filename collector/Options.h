#pragma once

// The collector's command line.

#include "collector/Admission.h"
#include "store/StoreName.h"
#include "store/StoreOptions.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace collector {

// A report that inflates far past its datagram costs disk and time: 8 MiB
// holds any real crash report, and a datagram can make at most about 1000
// times its own size of it.
inline constexpr std::uint64_t kDefaultMaxReportSize = 8 << 20;
inline constexpr std::uint64_t kDefaultQueueSize = 64 << 20;
// The queue holds at least one datagram of any size.
inline constexpr std::uint64_t kMinQueueSize = 64 << 10;
// How often --metrics is written.
inline constexpr auto kMetricsEvery = std::chrono::seconds(5);

struct Options {
    std::string bindAddress = "0.0.0.0";
    std::uint16_t port;  // default: the port the senders are built for
    bool reusePort = false;
    std::uint64_t maxReportSize = kDefaultMaxReportSize;
    std::uint64_t queueSize = kDefaultQueueSize;
    std::optional<std::uint64_t> maxUse;    // default: from the filesystem's size
    std::optional<std::uint64_t> keepFree;  // default: from the filesystem's size
    std::optional<std::uint64_t> keepFreeInodes;  // default: from the filesystem's inodes
    std::vector<Network> allowed;           // empty: every sender
    std::uint32_t perSenderLimit = 0;       // reports a minute; 0: no limit
    std::optional<std::uint64_t> count;     // exit after storing this many reports
    std::chrono::seconds regressedAfter = store::kDefaultRegressedAfter;
    std::optional<std::chrono::seconds> maxAge;  // none: reports are kept whatever their age
    std::optional<std::string> onNewGroup;  // a command for news of crash groups
    std::vector<std::filesystem::path> skipRules;  // empty: the default file, if there is one
    std::optional<std::filesystem::path> page;     // where to keep the triage page
    std::optional<std::filesystem::path> metrics;  // where to write the metrics
    store::StoreName store{std::string()};  // a directory, or a postgresql:// URI
    bool help = false;
    bool version = false;

    Options();
};

struct ParsedOptions {
    Options options;
    std::string error;  // a usage error naming the bad value; empty if none
};

// Parses the arguments after the program name.
ParsedOptions parseOptions(std::span<const std::string_view> args);

// A count of bytes with an optional suffix K, M or G (powers of 1024), from
// `min` to `max`; nothing for anything else.
std::optional<std::uint64_t> parseSize(std::string_view text, std::uint64_t min, std::uint64_t max);
// `bytes` as parseSize() reads it, with the largest suffix that fits exactly:
// "8M", "64K", "1000".
std::string formatSize(std::uint64_t bytes);

std::string usageText();

}  // namespace collector
