#pragma once

// Times as people and programs write them: RFC 3339 in UTC with a trailing
// Z for output, RFC 3339 or a span back from now ("30s", "90m", "2h", "7d")
// for input. Every option that takes a span takes the same units.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace crashreports {

using TimePoint = std::chrono::system_clock::time_point;

// Microseconds since 1970 in UTC, as the stores keep times.
inline std::int64_t toMicroseconds(TimePoint time)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
}

inline TimePoint fromMicroseconds(std::int64_t microseconds)
{
    return TimePoint(std::chrono::duration_cast<TimePoint::duration>(std::chrono::microseconds(microseconds)));
}

// "2026-12-08T11:59:59Z", with ".123456" before the Z when the time has a
// fraction of a second (microseconds).
std::string formatTime(TimePoint time);

// A span: a whole number and one of the units s, m, h, d; nothing for
// anything else, or for a span past about 100 years.
std::optional<std::chrono::seconds> parseSpan(std::string_view text);

// `span` for people, in its largest whole unit: "7 days", "36 hours",
// "90 minutes", "1 second".
std::string describeSpan(std::chrono::seconds span);

// An RFC 3339 time ("2026-12-08T11:59:59Z", "2026-12-08T12:59:59+01:00",
// "2026-12-08T11:59:59.5Z", "2026-12-08" for its midnight in UTC), or a span
// back from `now`; nothing for anything else.
std::optional<TimePoint> parseTime(std::string_view text, TimePoint now);

}  // namespace crashreports
