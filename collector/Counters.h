#pragma once

// What happened to every datagram, counted as it happens by the receiving and
// the storing threads, and read by the summary line and the service status.

#include <atomic>
#include <cstdint>
#include <string>

namespace collector {

struct Counters {
    std::atomic<std::uint64_t> received{0};
    std::atomic<std::uint64_t> stored{0};
    std::atomic<std::uint64_t> rejected{0};         // not a valid frame
    std::atomic<std::uint64_t> refusedAllowlist{0};  // from a sender not allowed
    std::atomic<std::uint64_t> refusedRate{0};       // over the per-sender limit
    std::atomic<std::uint64_t> refusedBudget{0};     // can't fit the disk budget
    std::atomic<std::uint64_t> dropped{0};           // the queue was full
    std::atomic<std::uint64_t> removed{0};           // old reports removed for the budget
    std::atomic<std::uint64_t> failedToStore{0};
    std::atomic<std::uint64_t> unstored{0};          // still queued when the collector stopped
};

// "received R, stored S, rejected J, refused F (allowlist A, per-sender limit
// P, budget B), dropped D, removed M, failed to store X", then ", left
// unstored U" and ", log lines dropped L" where those are not 0.
std::string formatSummary(const Counters& counters, std::uint64_t linesDropped);

}  // namespace collector
