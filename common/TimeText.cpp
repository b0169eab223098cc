#include "TimeText.h"

#include <charconv>
#include <cstdio>
#include <ctime>

namespace crashreports {

std::string formatTime(TimePoint time)
{
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<microseconds>(time.time_since_epoch());
    const auto wholeSeconds = floor<seconds>(sinceEpoch);
    const std::time_t whole = wholeSeconds.count();
    std::tm utc{};
    ::gmtime_r(&whole, &utc);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec);
    std::string formatted(text);
    if (const auto fraction = (sinceEpoch - wholeSeconds).count(); fraction != 0) {
        std::snprintf(text, sizeof text, ".%06lld", static_cast<long long>(fraction));
        formatted += text;
    }
    return formatted + "Z";
}

std::optional<std::chrono::seconds> parseSpan(std::string_view text)
{
    if (text.size() < 2) {
        return std::nullopt;
    }
    long long unit = 0;
    switch (text.back()) {
    case 's': unit = 1; break;
    case 'm': unit = 60; break;
    case 'h': unit = 3600; break;
    case 'd': unit = 86400; break;
    default: return std::nullopt;
    }
    long long count = 0;
    const auto digits = text.substr(0, text.size() - 1);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    constexpr long long kMostSeconds = 100LL * 366 * 86400;
    if (error != std::errc{} || end != digits.data() + digits.size() || count < 0 || count > kMostSeconds / unit) {
        return std::nullopt;
    }
    return std::chrono::seconds(count * unit);
}

}  // namespace crashreports
