#pragma once

// The collector's figures for a monitoring system, in Prometheus' text
// format, written to a file (--metrics) whole: a new file renamed over the
// old, readable by all, so that a reader such as node-exporter's textfile
// collector never sees half of one.

#include "collector/Counters.h"
#include "collector/LogSink.h"
#include "collector/Notifier.h"
#include "store/ReportStore.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace collector {

struct MetricsFigures {
    const Counters& counters;
    std::uint64_t linesDropped = 0;
    Notifier::Figures news;
    store::StoreFigures store;
    std::optional<std::uint64_t> kernelDrops;  // of the socket, if the kernel tells them
    std::int64_t startTime = 0;                // seconds since the epoch
};

// The figures in Prometheus' text format, counters with their HELP and TYPE.
std::string metricsText(const MetricsFigures& figures);

// The datagrams that the kernel dropped for `socket` (a full receive
// buffer), if it tells them (SO_MEMINFO).
std::optional<std::uint64_t> kernelDrops(int socket);

class MetricsFile {
public:
    MetricsFile(std::filesystem::path path, int socket, LogSink& log);

    // Writes the file anew; a failure is a line, and so is the next success.
    void write(const Counters& counters, std::uint64_t linesDropped, const Notifier::Figures& news,
               const store::StoreFigures& store);

private:
    std::filesystem::path path_;
    int socket_;
    LogSink& log_;
    std::int64_t startTime_;
    bool failing_ = false;
};

}  // namespace collector
