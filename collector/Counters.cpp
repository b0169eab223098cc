#include "collector/Counters.h"

namespace collector {

std::string formatSummary(const Counters& counters, std::uint64_t linesDropped)
{
    const auto count = [](const std::atomic<std::uint64_t>& counter) { return std::to_string(counter.load()); };
    const std::uint64_t refused = counters.refusedAllowlist + counters.refusedRate + counters.refusedBudget;
    std::string summary = "received " + count(counters.received) + ", stored " + count(counters.stored)
        + ", rejected " + count(counters.rejected) + ", refused " + std::to_string(refused) + " (allowlist "
        + count(counters.refusedAllowlist) + ", per-sender limit " + count(counters.refusedRate) + ", budget "
        + count(counters.refusedBudget) + "), dropped " + count(counters.dropped) + ", removed "
        + count(counters.removed) + ", failed to store " + count(counters.failedToStore);
    if (counters.unstored != 0) {
        summary += ", left unstored " + count(counters.unstored);
    }
    if (linesDropped != 0) {
        summary += ", log lines dropped " + std::to_string(linesDropped);
    }
    return summary;
}

}  // namespace collector
