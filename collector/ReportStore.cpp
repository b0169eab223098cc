#include "ReportStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <system_error>

namespace collector {

namespace {

constexpr std::string_view kReportSuffix = ".report";
constexpr std::string_view kTemporaryPrefix = ".incoming-";

std::string describeErrno(const std::string& what, int error)
{
    return what + ": " + std::strerror(error);
}

// Writes all of `bytes`, going on after short writes; the errno on failure.
int writeAll(int fd, std::span<const unsigned char> bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return 0;
}

// Temporaries that a killed collector left behind hold no report that was
// ever announced as stored.
void removeStaleTemporaries(const std::filesystem::path& directory)
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        if (entry.path().filename().string().starts_with(kTemporaryPrefix)) {
            std::filesystem::remove(entry.path(), error);
        }
    }
}

}  // namespace

std::string reportFileName(std::chrono::system_clock::time_point received, const Sender& sender,
                           std::uint64_t sequence)
{
    using namespace std::chrono;
    const auto sinceEpoch = duration_cast<microseconds>(received.time_since_epoch());
    const auto seconds = floor<std::chrono::seconds>(sinceEpoch);
    const std::time_t wholeSeconds = seconds.count();
    std::tm utc{};
    ::gmtime_r(&wholeSeconds, &utc);
    char name[128];
    std::snprintf(name, sizeof name, "%04d%02d%02dT%02d%02d%02d.%06lldZ_%s_%u_%06" PRIu64 "%s", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long long>((sinceEpoch - seconds).count()), sender.address.c_str(),
                  unsigned{sender.port}, sequence, kReportSuffix.data());
    return name;
}

ReportStore::ReportStore(std::filesystem::path directory) : directory_(std::move(directory))
{
    std::error_code error;
    std::filesystem::create_directories(directory_, error);
    if (error) {
        throw std::system_error(error, "can't create report directory " + directory_.string());
    }
    directoryFd_.reset(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directoryFd_) {
        throw std::system_error(errno, std::generic_category(), "can't open report directory " + directory_.string());
    }
    // Found now rather than at the first report.
    if (::faccessat(directoryFd_.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
        throw std::system_error(errno, std::generic_category(), "can't write to report directory " + directory_.string());
    }
    removeStaleTemporaries(directory_);
}

StoreResult ReportStore::store(std::span<const unsigned char> report, const Sender& sender,
                               std::chrono::system_clock::time_point received)
{
    return storeAs(report, reportFileName(received, sender, ++sequence_));
}

StoreResult ReportStore::storeAs(std::span<const unsigned char> report, const std::string& finalName)
{
    const int dir = directoryFd_.get();
    const std::string temporary = std::string(kTemporaryPrefix) + finalName + ".tmp";
    const std::string temporaryPath = (directory_ / temporary).string();
    UniqueFd file(::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
    if (!file) {
        return {std::nullopt, describeErrno("can't create " + temporaryPath, errno)};
    }
    const auto fail = [&](const std::string& what, int error) {
        ::unlinkat(dir, temporary.c_str(), 0);
        return StoreResult{std::nullopt, describeErrno(what, error)};
    };
    if (const int error = writeAll(file.get(), report); error != 0) {
        return fail("can't write " + temporaryPath, error);
    }
    if (::fsync(file.get()) != 0) {
        return fail("can't sync " + temporaryPath, errno);
    }
    if (file.close() != 0) {
        return fail("can't close " + temporaryPath, errno);
    }
    // Never replaces a report: a name that is taken means a clash of receive
    // times across restarts, and the report is not stored under it.
    if (::renameat2(dir, temporary.c_str(), dir, finalName.c_str(), RENAME_NOREPLACE) != 0) {
        return fail("can't rename " + temporaryPath + " to " + finalName, errno);
    }
    unsyncedRenames_ = true;
    return {directory_ / finalName, {}};
}

std::string ReportStore::syncDirectory()
{
    if (!unsyncedRenames_) {
        return {};
    }
    unsyncedRenames_ = false;
    if (::fsync(directoryFd_.get()) != 0) {
        return describeErrno("can't sync report directory " + directory_.string(), errno);
    }
    return {};
}

}  // namespace collector
