#include "store/ReportNames.h"

#include "common/StartupError.h"

#include <arpa/inet.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>

namespace store {

namespace {

constexpr std::string_view kReportSuffix = ".report";
constexpr std::string_view kTemporaryPrefix = ".incoming-";
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::string_view kLockPrefix = ".collector-";
constexpr std::string_view kLockSuffix = ".lock";
constexpr std::string_view kNewLockSuffix = ".new";

bool isDigits(std::string_view text, std::size_t atLeast, std::size_t atMost)
{
    return text.size() >= atLeast && text.size() <= atMost
        && std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

// The text between `prefix` and `suffix` of `name`, if it has both.
std::optional<std::string_view> between(std::string_view name, std::string_view prefix, std::string_view suffix)
{
    if (name.size() < prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix)) {
        return std::nullopt;
    }
    return name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
}

// Whether `text` starts with a receive time as reportFileName() writes it:
// YYYYMMDDTHHMMSS.ffffffZ_
bool startsWithTime(std::string_view text)
{
    return text.size() >= 24 && isDigits(text.substr(0, 8), 8, 8) && text[8] == 'T'
        && isDigits(text.substr(9, 6), 6, 6) && text[15] == '.' && isDigits(text.substr(16, 6), 6, 6)
        && text.substr(22, 2) == "Z_";
}

// "YYYYMMDDTHHMMSS.ffffffZ_ADDRESS_PORT"
std::string timeAndSender(std::chrono::system_clock::time_point received, const crashreports::Endpoint& sender)
{
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<microseconds>(received.time_since_epoch());
    const auto wholeSeconds = floor<seconds>(sinceEpoch);
    const std::time_t time = wholeSeconds.count();
    std::tm utc{};
    ::gmtime_r(&time, &utc);
    char name[96];
    std::snprintf(name, sizeof name, "%04d%02d%02dT%02d%02d%02d.%06lldZ_%s_%u", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long long>((sinceEpoch - wholeSeconds).count()), sender.addressText().c_str(),
                  unsigned{sender.port});
    return name;
}

std::string sequenceText(std::uint64_t sequence)
{
    char text[24];
    std::snprintf(text, sizeof text, "%06" PRIu64, sequence);
    return text;
}

}  // namespace

std::string drawOwnerMark()
{
    unsigned char bytes[8] = {};
    if (::getrandom(bytes, sizeof bytes, 0) != sizeof bytes) {
        const int error = errno;
        throw crashreports::StartupError(crashreports::withReason("can't draw a random owner mark", error));
    }
    char text[2 * sizeof bytes + 1] = {};
    for (std::size_t index = 0; index < sizeof bytes; ++index) {
        std::snprintf(text + 2 * index, 3, "%02x", bytes[index]);
    }
    return text;
}

std::string reportFileName(std::chrono::system_clock::time_point received, const crashreports::Endpoint& sender,
                           std::uint64_t sequence)
{
    return timeAndSender(received, sender) + "_" + sequenceText(sequence) + std::string(kReportSuffix);
}

std::string reportId(std::chrono::system_clock::time_point received, const crashreports::Endpoint& sender,
                     std::string_view owner, std::uint64_t sequence)
{
    return timeAndSender(received, sender) + "_" + std::string(owner) + "_" + sequenceText(sequence);
}

std::optional<std::string> reportSenderAddress(std::string_view name)
{
    // YYYYMMDDTHHMMSS.ffffffZ_ADDRESS_PORT_SEQUENCE.report
    const auto middle = between(name, "", kReportSuffix);
    if (!middle || !startsWithTime(*middle)) {
        return std::nullopt;
    }
    const std::string_view rest = middle->substr(24);
    const auto lastUnderscore = rest.rfind('_');
    if (lastUnderscore == std::string_view::npos || !isDigits(rest.substr(lastUnderscore + 1), 6, 20)) {
        return std::nullopt;
    }
    const std::string_view addressAndPort = rest.substr(0, lastUnderscore);
    const auto portUnderscore = addressAndPort.rfind('_');
    if (portUnderscore == std::string_view::npos || !isDigits(addressAndPort.substr(portUnderscore + 1), 1, 5)) {
        return std::nullopt;
    }
    std::string address(addressAndPort.substr(0, portUnderscore));
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        return std::nullopt;
    }
    return address;
}

std::optional<ReportName> parseReportName(std::string_view name)
{
    const auto address = reportSenderAddress(name);
    if (!address) {
        return std::nullopt;
    }
    std::tm utc{};
    unsigned microseconds = 0;
    unsigned port = 0;
    const std::string text(name);
    // YYYYMMDDTHHMMSS.ffffffZ_ADDRESS_PORT_SEQUENCE.report; the address was
    // checked above, so the port is what follows it.
    if (std::sscanf(text.c_str(), "%4d%2d%2dT%2d%2d%2d.%6uZ_", &utc.tm_year, &utc.tm_mon, &utc.tm_mday, &utc.tm_hour,
                    &utc.tm_min, &utc.tm_sec, &microseconds)
            != 7
        || std::sscanf(text.c_str() + 24 + address->size(), "_%5u_", &port) != 1 || port > 65535) {
        return std::nullopt;
    }
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    const std::time_t seconds = ::timegm(&utc);
    in_addr parsed{};
    ::inet_pton(AF_INET, address->c_str(), &parsed);
    return ReportName{std::chrono::system_clock::from_time_t(seconds) + std::chrono::microseconds(microseconds),
                      crashreports::Endpoint{ntohl(parsed.s_addr), static_cast<std::uint16_t>(port)}};
}

std::string lockFileName(std::string_view owner)
{
    return std::string(kLockPrefix).append(owner).append(kLockSuffix);
}

std::string newLockFileName(std::string_view owner)
{
    return std::string(kLockPrefix).append(owner).append(kNewLockSuffix);
}

std::string temporaryFileName(std::string_view owner, std::uint64_t number)
{
    return std::string(kTemporaryPrefix).append(owner).append("-").append(std::to_string(number)).append(
        kTemporarySuffix);
}

std::optional<std::string_view> lockOwner(std::string_view name)
{
    return between(name, kLockPrefix, kLockSuffix);
}

std::optional<std::string_view> newLockOwner(std::string_view name)
{
    return between(name, kLockPrefix, kNewLockSuffix);
}

std::optional<std::string_view> temporaryOwner(std::string_view name)
{
    const auto rest = between(name, kTemporaryPrefix, kTemporarySuffix);
    if (!rest) {
        return std::nullopt;
    }
    return rest->substr(0, rest->find('-'));
}

}  // namespace store
