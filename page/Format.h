#pragma once

// Private to page/.

// Numbers and times as the triage pages show them: for people, in UTC, and
// so that sorting a column's text sorts its values.

#include <chrono>
#include <cstdint>
#include <string>

namespace triage {

// "2026-12-08 11:59" in UTC: sorts as text in time order.
std::string displayTime(std::chrono::system_clock::time_point time);

// "100,000".
std::string displayCount(std::uint64_t count);

// "512 B", "12.3 KiB", "4.0 MiB".
std::string displaySize(std::uint64_t bytes);

}  // namespace triage
