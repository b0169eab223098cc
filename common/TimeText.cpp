#include "common/TimeText.h"

#include "common/Plural.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>

namespace crashreports {

namespace {

using std::chrono::days;
using std::chrono::microseconds;
using std::chrono::seconds;

// 100 years of 365.25 days: past this, a span is a typo rather than a
// question about reports.
constexpr seconds kMaxSpan{std::int64_t{36525} * 86400};

// The seconds since the epoch that a TimePoint can hold, both ways.
constexpr std::int64_t kMinSeconds =
    std::chrono::duration_cast<seconds>(TimePoint::min().time_since_epoch()).count() + 1;
constexpr std::int64_t kMaxSeconds =
    std::chrono::duration_cast<seconds>(TimePoint::max().time_since_epoch()).count() - 1;

// Reads exactly `width` decimal digits at `at` and moves past them; nothing
// if they are not all there.
std::optional<int> takeDigits(std::string_view text, std::size_t& at, std::size_t width)
{
    if (at > text.size() || text.size() - at < width) {
        return std::nullopt;
    }
    int value = 0;
    for (std::size_t end = at + width; at < end; ++at) {
        if (text[at] < '0' || text[at] > '9') {
            return std::nullopt;
        }
        value = value * 10 + (text[at] - '0');
    }
    return value;
}

// Moves past `expected` at `at`; false if it is not there.
bool takeChar(std::string_view text, std::size_t& at, std::string_view expected)
{
    if (at >= text.size() || expected.find(text[at]) == std::string_view::npos) {
        return false;
    }
    ++at;
    return true;
}

// The days since the epoch of a valid calendar date.
std::optional<std::int64_t> takeDate(std::string_view text, std::size_t& at)
{
    const auto year = takeDigits(text, at, 4);
    if (!year || !takeChar(text, at, "-")) {
        return std::nullopt;
    }
    const auto month = takeDigits(text, at, 2);
    if (!month || !takeChar(text, at, "-")) {
        return std::nullopt;
    }
    const auto day = takeDigits(text, at, 2);
    if (!day) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date{std::chrono::year{*year}, std::chrono::month{static_cast<unsigned>(*month)},
                                           std::chrono::day{static_cast<unsigned>(*day)}};
    if (!date.ok()) {
        return std::nullopt;
    }
    return std::chrono::sys_days{date}.time_since_epoch().count();
}

// The seconds into the day of "HH:MM:SS"; a leap second (60) is the next
// minute's first.
std::optional<std::int64_t> takeClock(std::string_view text, std::size_t& at)
{
    const auto hour = takeDigits(text, at, 2);
    if (!hour || *hour > 23 || !takeChar(text, at, ":")) {
        return std::nullopt;
    }
    const auto minute = takeDigits(text, at, 2);
    if (!minute || *minute > 59 || !takeChar(text, at, ":")) {
        return std::nullopt;
    }
    const auto second = takeDigits(text, at, 2);
    if (!second || *second > 60) {
        return std::nullopt;
    }
    return std::int64_t{*hour} * 3600 + *minute * 60 + *second;
}

// The microseconds of an optional ".ffffff"; digits past the sixth are
// dropped, not rounded, so a time never moves to the next second.
std::optional<std::int64_t> takeFraction(std::string_view text, std::size_t& at)
{
    if (!takeChar(text, at, ".")) {
        return 0;
    }
    std::int64_t micros = 0;
    std::size_t digits = 0;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, ++digits) {
        if (digits < 6) {
            micros = micros * 10 + (text[at] - '0');
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    for (; digits < 6; ++digits) {
        micros *= 10;
    }
    return micros;
}

// The seconds to subtract to get UTC: 0 for "Z", the offset for "+HH:MM".
std::optional<std::int64_t> takeOffset(std::string_view text, std::size_t& at)
{
    if (takeChar(text, at, "Zz")) {
        return 0;
    }
    if (at >= text.size() || (text[at] != '+' && text[at] != '-')) {
        return std::nullopt;
    }
    const int sign = text[at++] == '-' ? -1 : 1;
    const auto hours = takeDigits(text, at, 2);
    if (!hours || *hours > 23 || !takeChar(text, at, ":")) {
        return std::nullopt;
    }
    const auto minutes = takeDigits(text, at, 2);
    if (!minutes || *minutes > 59) {
        return std::nullopt;
    }
    return sign * (std::int64_t{*hours} * 3600 + *minutes * 60);
}

// The time at `seconds` and `micros` since the epoch, if a TimePoint holds it.
std::optional<TimePoint> toTimePoint(std::int64_t secondsSinceEpoch, std::int64_t micros)
{
    if (secondsSinceEpoch < kMinSeconds || secondsSinceEpoch > kMaxSeconds) {
        return std::nullopt;
    }
    return TimePoint{std::chrono::duration_cast<TimePoint::duration>(seconds{secondsSinceEpoch} + microseconds{micros})};
}

std::optional<TimePoint> parseRfc3339(std::string_view text)
{
    std::size_t at = 0;
    const auto day = takeDate(text, at);
    if (!day) {
        return std::nullopt;
    }
    if (at == text.size()) {
        return toTimePoint(*day * 86400, 0);
    }
    if (!takeChar(text, at, "Tt ")) {
        return std::nullopt;
    }
    const auto clock = takeClock(text, at);
    const auto micros = clock ? takeFraction(text, at) : std::nullopt;
    const auto offset = micros ? takeOffset(text, at) : std::nullopt;
    if (!offset || at != text.size()) {
        return std::nullopt;
    }
    return toTimePoint(*day * 86400 + *clock - *offset, *micros);
}

}  // namespace

std::string formatTime(TimePoint time)
{
    const auto micros = std::chrono::floor<microseconds>(time);
    const auto day = std::chrono::floor<days>(micros);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss clock{micros - day};
    char text[40];
    int length = std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02lld", static_cast<int>(date.year()),
                               static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                               static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                               static_cast<long long>(clock.seconds().count()));
    if (const auto fraction = clock.subseconds().count(); fraction != 0) {
        length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), ".%06lld",
                                static_cast<long long>(fraction));
    }
    return std::string(text, static_cast<std::size_t>(length)) + "Z";
}

std::optional<std::chrono::seconds> parseSpan(std::string_view text)
{
    if (text.size() < 2) {
        return std::nullopt;
    }
    std::int64_t unit = 0;
    switch (text.back()) {
    case 's': unit = 1; break;
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    default: return std::nullopt;
    }
    const std::string_view digits = text.substr(0, text.size() - 1);
    std::int64_t count = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    if (error != std::errc{} || end != digits.data() + digits.size() || digits.front() == '-'
        || count > kMaxSpan.count() / unit) {
        return std::nullopt;
    }
    return seconds{count * unit};
}

std::string describeSpan(std::chrono::seconds span)
{
    for (const auto& [unit, name] : {std::pair{86400, "day"}, std::pair{3600, "hour"}, std::pair{60, "minute"}}) {
        if (span.count() != 0 && span.count() % unit == 0) {
            return plural(static_cast<std::uint64_t>(span.count() / unit), name);
        }
    }
    return plural(static_cast<std::uint64_t>(std::max<std::int64_t>(span.count(), 0)), "second");
}

std::optional<TimePoint> parseTime(std::string_view text, TimePoint now)
{
    if (const auto time = parseRfc3339(text)) {
        return time;
    }
    const auto span = parseSpan(text);
    if (!span || now < TimePoint::min() + *span) {
        return std::nullopt;
    }
    return now - *span;
}

}  // namespace crashreports
