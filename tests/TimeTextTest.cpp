// Times in and out: RFC 3339 in UTC with a Z, and spans back from now. The
// epoch seconds below come from `date -u -d TIME +%s`.

#include "common/TimeText.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using crashreports::TimePoint;
using std::chrono::hours;
using std::chrono::microseconds;
using std::chrono::seconds;

// 2026-12-08T11:59:59Z
constexpr seconds kNoon{1796731199};

TimePoint at(seconds since, microseconds fraction = microseconds{0})
{
    return TimePoint{std::chrono::duration_cast<TimePoint::duration>(since + fraction)};
}

TEST(FormatTime, WritesUtcWithMicrosecondsOnlyWhenThereAreAny)
{
    const std::pair<TimePoint, const char*> cases[] = {
        {at(kNoon), "2026-12-08T11:59:59Z"},
        {at(kNoon, microseconds{42}), "2026-12-08T11:59:59.000042Z"},
        {at(kNoon) + std::chrono::nanoseconds{999}, "2026-12-08T11:59:59Z"},  // below a microsecond
        {at(seconds{0}), "1970-01-01T00:00:00Z"},
        {at(seconds{-1}, microseconds{500000}), "1969-12-31T23:59:59.500000Z"},  // before the epoch
        {at(seconds{951782400}), "2000-02-29T00:00:00Z"},                        // a leap day
    };
    for (const auto& [time, text] : cases) {
        EXPECT_EQ(crashreports::formatTime(time), text);
    }
}

TEST(ParseSpan, TakesAWholeNumberAndOneUnitWithinAHundredYears)
{
    const std::pair<const char*, std::optional<seconds>> cases[] = {
        {"30s", seconds{30}},
        {"90m", seconds{5400}},
        {"2h", hours{2}},
        {"7d", hours{168}},
        {"0s", seconds{0}},
        {"36525d", hours{36525 * 24}},
        {"36526d", std::nullopt},
        {"99999999999999999999d", std::nullopt},
        {"2", std::nullopt},
        {"h", std::nullopt},
        {"2w", std::nullopt},
        {"2H", std::nullopt},
        {"-2h", std::nullopt},
        {"+2h", std::nullopt},
        {" 2h", std::nullopt},
        {"1.5h", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, span] : cases) {
        EXPECT_EQ(crashreports::parseSpan(text), span) << text;
    }
}

struct TimeCase {
    const char* text;
    std::optional<TimePoint> time;
};

TEST(ParseTime, ReadsRfc3339InUtcOrAnOffsetAndRefusesTheRest)
{
    const TimeCase cases[] = {
        {"2026-12-08T11:59:59Z", at(kNoon)},
        {"2026-12-08t11:59:59z", at(kNoon)},
        {"2026-12-08 11:59:59Z", at(kNoon)},
        {"2026-12-08T12:59:59+01:00", at(kNoon)},
        {"2026-12-08T06:29:59-05:30", at(kNoon)},
        {"2026-12-08T11:59:59.5Z", at(kNoon, microseconds{500000})},
        {"2026-12-08T11:59:59.1234569Z", at(kNoon, microseconds{123456})},  // cut, not rounded
        {"2026-12-08", at(seconds{1796688000})},
        {"2016-12-31T23:59:60Z", at(seconds{1483228800})},  // a leap second
        {"2026-02-29", std::nullopt},
        {"2026-13-01", std::nullopt},
        {"2026-12-08T24:00:00Z", std::nullopt},
        {"2026-12-08T11:60:00Z", std::nullopt},
        {"2026-12-08T11:59:59", std::nullopt},  // no offset
        {"2026-12-08T11:59:59.Z", std::nullopt},
        {"2026-12-08T11:59:59+0100", std::nullopt},
        {"2026-12-08T11:59:59Zjunk", std::nullopt},
        {"2026-12-8", std::nullopt},
        {"9999-12-31", std::nullopt},  // past what a time point holds
        {"yesterday", std::nullopt},
    };
    for (const auto& [text, time] : cases) {
        EXPECT_EQ(crashreports::parseTime(text, at(kNoon)), time) << text;
    }
}

TEST(ParseTime, ReadsASpanAsThatLongBeforeNow)
{
    EXPECT_EQ(crashreports::parseTime("2h", at(kNoon)), at(kNoon - hours{2}));
    EXPECT_EQ(crashreports::parseTime("2h", TimePoint::min() + hours{1}), std::nullopt);
}

}  // namespace
