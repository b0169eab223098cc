#pragma once

// The collector's command line.

#include "FrameFormat.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace collector {

// The most report bytes that one datagram can carry.
inline constexpr std::uint64_t kMaxReportSize = frame_format::kMaxReportSize;
inline constexpr std::uint16_t kDefaultPort = 9699;

struct Options {
    std::string bindAddress = "0.0.0.0";
    std::uint16_t port = kDefaultPort;
    std::uint64_t maxReportSize = kMaxReportSize;
    std::optional<std::uint64_t> count;  // exit after storing this many reports
    std::filesystem::path directory;
    bool help = false;
};

struct ParsedOptions {
    Options options;
    std::string error;  // a usage error naming the bad value; empty if none
};

// Parses the arguments after the program name.
ParsedOptions parseOptions(std::span<const std::string_view> args);

std::string_view usageText();

}  // namespace collector
