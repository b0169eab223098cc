#pragma once

// The names a directory store gives its files, and what it reads back from
// them; and the ids a database store gives its rows. Names are the
// collector's own (receive time, sender, sequence number, its random owner
// mark); nothing from a report goes into a name, and only names made here
// are ever counted or removed as reports. All but drawOwnerMark() are pure.

#include "common/Endpoint.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace store {

// 16 random hexadecimal digits that set one collector's files and report
// ids apart from every other collector's. Throws crashreports::StartupError
// if no random bytes can be had.
std::string drawOwnerMark();

// "20261208T115959.123456Z_127.0.0.1_40000_000001.report"
std::string reportFileName(std::chrono::system_clock::time_point received, const crashreports::Endpoint& sender,
                           std::uint64_t sequence);

// A database store's id for a report, unique across collectors: the
// receive time and sender as in a file's name, then the collector's random
// owner mark and its sequence number:
// "20261208T115959.123456Z_127.0.0.1_40000_3f2a9c1b5e6d7a8b_000001".
std::string reportId(std::chrono::system_clock::time_point received, const crashreports::Endpoint& sender,
                     std::string_view owner, std::uint64_t sequence);

// The sender's address in a name made by reportFileName(); nothing for any
// other name.
std::optional<std::string> reportSenderAddress(std::string_view name);

// What a name made by reportFileName() tells of its report.
struct ReportName {
    std::chrono::system_clock::time_point received;
    crashreports::Endpoint sender;
};
// Nothing for any name that reportFileName() does not make.
std::optional<ReportName> parseReportName(std::string_view name);

// A collector's files beside its reports, named after its owner mark: the
// lock file it holds while it lives, that file under the name it has while
// it is being made, and its temporaries.
std::string lockFileName(std::string_view owner);
std::string newLockFileName(std::string_view owner);
std::string temporaryFileName(std::string_view owner, std::uint64_t number);

// The owner mark in a name made by lockFileName(), newLockFileName() or
// temporaryFileName(); nothing for any other name.
std::optional<std::string_view> lockOwner(std::string_view name);
std::optional<std::string_view> newLockOwner(std::string_view name);
std::optional<std::string_view> temporaryOwner(std::string_view name);

}  // namespace store
