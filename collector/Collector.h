#pragma once

// The collector's service loop: receives datagrams on one UDP socket, decodes
// each as a report frame and stores the valid ones, until it has stored the
// reports it was asked for or SIGINT or SIGTERM arrives.

#include "LineRateLimiter.h"
#include "Options.h"
#include "ReportStore.h"
#include "UniqueFd.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace collector {

struct Counters {
    std::uint64_t received = 0;
    std::uint64_t stored = 0;
    std::uint64_t rejected = 0;
    std::uint64_t failedToStore = 0;
};

class Collector {
public:
    // Binds the socket and readies the store; throws std::runtime_error with
    // the line to print if either can't be had. SIGINT and SIGTERM must be
    // blocked in the calling thread before the collector is made.
    Collector(const Options& options, std::ostream& out, std::ostream& log);

    // Serves until done; returns the counts for the summary line.
    Counters run();

private:
    void serveReadyDatagrams();
    void handleDatagram(std::size_t size, bool truncated, const Sender& sender);
    void logLimited(const std::string& line);
    void flushSuppressed(LineRateLimiter::Clock::time_point now);
    void logSuppressed(std::uint64_t count);
    bool done() const;

    Options options_;
    std::ostream& out_;
    std::ostream& log_;
    ReportStore store_;
    UniqueFd socket_;
    UniqueFd signals_;
    LineRateLimiter limiter_;
    std::vector<unsigned char> buffer_;
    Counters counters_;
    bool stopRequested_ = false;
};

std::string formatSummary(const Counters& counters);

// Blocks SIGINT and SIGTERM, which the collector then takes through a
// signalfd, between datagrams.
void blockStopSignals();

}  // namespace collector
