#include "ReportStore.h"

#include "StartupError.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

namespace collector {

namespace {

constexpr std::string_view kReportSuffix = ".report";
constexpr std::string_view kTemporaryPrefix = ".incoming-";
constexpr std::string_view kTemporarySuffix = ".tmp";
constexpr std::string_view kLockPrefix = ".collector-";
constexpr std::string_view kLockSuffix = ".lock";
constexpr std::string_view kNewLockSuffix = ".new";
// A lock file is made under a passing name, locked, and only then renamed
// into place, so that a lock file in place is always locked while its owner
// lives. One left under the passing name, or a temporary with no owner's
// mark, is removed once it is this old: no collector stays between those
// steps that long.
constexpr auto kOrphanAge = std::chrono::seconds(60);
// Names tried for one report before giving up.
constexpr int kNameAttempts = 1000;

std::string describe(const std::string& what, int error)
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

std::string randomOwner()
{
    unsigned char bytes[8] = {};
    if (::getrandom(bytes, sizeof bytes, 0) != sizeof bytes) {
        throw StartupError(describe("can't draw a random name", errno));
    }
    char text[2 * sizeof bytes + 1] = {};
    for (std::size_t index = 0; index < sizeof bytes; ++index) {
        std::snprintf(text + 2 * index, 3, "%02x", bytes[index]);
    }
    return text;
}

bool isDigits(std::string_view text, std::size_t atLeast, std::size_t atMost)
{
    return text.size() >= atLeast && text.size() <= atMost && std::ranges::all_of(text, [](char c) {
               return c >= '0' && c <= '9';
           });
}

// The text between `prefix` and `suffix` of `name`, if it has both.
std::optional<std::string_view> between(std::string_view name, std::string_view prefix, std::string_view suffix)
{
    if (name.size() < prefix.size() + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix)) {
        return std::nullopt;
    }
    return name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
}

bool olderThan(int directory, const std::string& name, std::chrono::seconds age)
{
    struct stat status {};
    if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    return std::time(nullptr) - status.st_mtime > age.count();
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
                  static_cast<long long>((sinceEpoch - seconds).count()), sender.addressText().c_str(),
                  unsigned{sender.port}, sequence, kReportSuffix.data());
    return name;
}

std::optional<std::string> reportSenderAddress(std::string_view name)
{
    // YYYYMMDDTHHMMSS.ffffffZ_ADDRESS_PORT_SEQUENCE.report
    const auto middle = between(name, "", kReportSuffix);
    if (!middle || middle->size() < 24 || !isDigits(middle->substr(0, 8), 8, 8) || (*middle)[8] != 'T'
        || !isDigits(middle->substr(9, 6), 6, 6) || (*middle)[15] != '.' || !isDigits(middle->substr(16, 6), 6, 6)
        || middle->substr(22, 2) != "Z_") {
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

ReportStore::ReportStore(std::filesystem::path directory) : directory_(std::move(directory))
{
    open();
    takeLock();
    removeDeadTemporaries();
}

ReportStore::~ReportStore()
{
    if (lock_) {
        ::unlinkat(directoryFd_.get(), (std::string(kLockPrefix) + owner_ + std::string(kLockSuffix)).c_str(), 0);
    }
}

void ReportStore::open()
{
    std::error_code error;
    std::filesystem::create_directories(directory_, error);
    if (error) {
        throw StartupError("can't create report directory " + directory_.string() + ": " + error.message());
    }
    UniqueFd fd(::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd) {
        throw StartupError(describe("can't open report directory " + directory_.string(), errno));
    }
    // Found now rather than at the first report.
    if (::faccessat(fd.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
        throw StartupError(describe("can't write to report directory " + directory_.string(), errno));
    }
    directoryFd_ = std::move(fd);
}

void ReportStore::takeLock()
{
    owner_ = randomOwner();
    const std::string passing = std::string(kLockPrefix) + owner_ + std::string(kNewLockSuffix);
    const std::string lockName = std::string(kLockPrefix) + owner_ + std::string(kLockSuffix);
    const int dir = directoryFd_.get();
    UniqueFd lock(::openat(dir, passing.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
    if (!lock || ::flock(lock.get(), LOCK_EX) != 0 || ::renameat(dir, passing.c_str(), dir, lockName.c_str()) != 0) {
        const int error = errno;
        ::unlinkat(dir, passing.c_str(), 0);
        throw StartupError(describe("can't take a lock file in report directory " + directory_.string(), error));
    }
    lock_ = std::move(lock);
}

void ReportStore::removeDeadTemporaries() const
{
    const int dir = directoryFd_.get();
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
        names.push_back(entry.path().filename().string());
    }
    // Owners whose lock file is free: they are gone. Their locks are held
    // until their temporaries are removed, so that no one else takes them.
    std::set<std::string, std::less<>> live{owner_};
    std::set<std::string, std::less<>> dead;
    std::vector<std::pair<std::string, UniqueFd>> deadLocks;
    for (const auto& name : names) {
        const auto owner = between(name, kLockPrefix, kLockSuffix);
        if (!owner || *owner == owner_) {
            if (between(name, kLockPrefix, kNewLockSuffix) && olderThan(dir, name, kOrphanAge)) {
                ::unlinkat(dir, name.c_str(), 0);
            }
            continue;
        }
        UniqueFd lock(::openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (lock && ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) {
            dead.emplace(*owner);
            deadLocks.emplace_back(name, std::move(lock));
        } else {
            live.emplace(*owner);
        }
    }
    for (const auto& name : names) {
        const auto rest = between(name, kTemporaryPrefix, kTemporarySuffix);
        if (!rest) {
            continue;
        }
        const std::string owner(rest->substr(0, rest->find('-')));
        if (live.contains(owner)) {
            continue;
        }
        // A temporary of an owner with no lock file is an old collector's, or
        // its owner's lock was made after the listing: it must be old, too.
        if (dead.contains(owner) || olderThan(dir, name, kOrphanAge)) {
            ::unlinkat(dir, name.c_str(), 0);
        }
    }
    for (const auto& lock : deadLocks) {
        ::unlinkat(dir, lock.first.c_str(), 0);
    }
}

WriteResult ReportStore::write(std::span<const unsigned char> report, const Sender& sender,
                               std::chrono::system_clock::time_point received)
{
    const int dir = directoryFd_.get();
    std::string temporary = std::string(kTemporaryPrefix) + owner_ + "-" + std::to_string(++temporaries_)
        + std::string(kTemporarySuffix);
    const std::string path = (directory_ / temporary).string();
    UniqueFd file(::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
    if (!file) {
        return {std::nullopt, describe("can't create " + path, errno)};
    }
    const auto fail = [&](const std::string& what, int error) {
        ::unlinkat(dir, temporary.c_str(), 0);
        return WriteResult{std::nullopt, describe(what, error)};
    };
    if (const int error = writeAll(file.get(), report); error != 0) {
        return fail("can't write " + path, error);
    }
    return {PendingReport{std::move(temporary), std::move(file), report.size(), sender, received}, {}};
}

std::vector<CommitResult> ReportStore::commit(std::vector<PendingReport>& group)
{
    std::vector<CommitResult> results(group.size());
    if (group.empty()) {
        return results;
    }
    const int dir = directoryFd_.get();
    const std::vector<std::string> errors = makeDurable(group);
    bool renamed = false;
    for (std::size_t index = 0; index < group.size(); ++index) {
        PendingReport& report = group[index];
        std::string error = errors[index];
        if (error.empty() && report.file.close() != 0) {
            error = describe("can't close " + (directory_ / report.temporary).string(), errno);
        }
        if (!error.empty()) {
            ::unlinkat(dir, report.temporary.c_str(), 0);
            results[index].error = error;
            continue;
        }
        results[index] = renameToFreeName(report);
        renamed = renamed || results[index].name.has_value();
    }
    if (renamed && ::fsync(dir) != 0) {
        const std::string error = describe("can't sync report directory " + directory_.string(), errno);
        for (auto& result : results) {
            if (result.name) {
                result.error = error + "; " + *result.name + " is whole but may not outlast a power loss";
            }
        }
    }
    return results;
}

std::vector<std::string> ReportStore::makeDurable(const std::vector<PendingReport>& group)
{
    std::vector<std::string> errors(group.size());
    const auto syncEach = [&] {
        for (std::size_t index = 0; index < group.size(); ++index) {
            if (::fdatasync(group[index].file.get()) != 0) {
                errors[index] = describe("can't sync " + (directory_ / group[index].temporary).string(), errno);
            }
        }
    };
    const SyncWay way = syncChooser_.choose(group.size());
    const auto start = std::chrono::steady_clock::now();
    if (way == SyncWay::Filesystem) {
        // syncfs fails for a write error anywhere on the filesystem: then
        // each report's own sync tells whether its bytes are safe.
        if (::syncfs(directoryFd_.get()) != 0) {
            syncEach();
        }
    } else {
        // Writeback of every file first, so that their syncs overlap.
        for (const auto& report : group) {
            ::sync_file_range(report.file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
        }
        syncEach();
    }
    syncChooser_.record(way, std::chrono::steady_clock::now() - start, group.size());
    return errors;
}

CommitResult ReportStore::renameToFreeName(const PendingReport& report)
{
    std::string name;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        name = reportFileName(report.received, report.sender, ++sequence_);
        if (renameNoReplace(report.temporary, name)) {
            return {name, {}};
        }
        if (errno != EEXIST) {
            break;
        }
    }
    const std::string error = describe("can't rename " + (directory_ / report.temporary).string() + " to " + name, errno);
    ::unlinkat(directoryFd_.get(), report.temporary.c_str(), 0);
    return {std::nullopt, error};
}

bool ReportStore::renameNoReplace(const std::string& from, const std::string& to)
{
    const int dir = directoryFd_.get();
    if (noReplaceRename_) {
        if (::renameat2(dir, from.c_str(), dir, to.c_str(), RENAME_NOREPLACE) == 0) {
            return true;
        }
        if (errno != EINVAL && errno != ENOSYS) {
            return false;
        }
        // The filesystem has no such rename: a link never replaces either.
        noReplaceRename_ = false;
    }
    if (::linkat(dir, from.c_str(), dir, to.c_str(), 0) != 0) {
        return false;
    }
    ::unlinkat(dir, from.c_str(), 0);
    return true;
}

std::string ReportStore::remove(const std::string& name)
{
    if (::unlinkat(directoryFd_.get(), name.c_str(), 0) != 0) {
        return describe("can't remove " + (directory_ / name).string(), errno);
    }
    return {};
}

ReportStore::Reopening ReportStore::reopenIfReplaced()
{
    struct stat opened {};
    struct stat current {};
    const bool exists = ::stat(directory_.c_str(), &current) == 0;
    if (::fstat(directoryFd_.get(), &opened) == 0 && opened.st_nlink > 0 && exists && opened.st_dev == current.st_dev
        && opened.st_ino == current.st_ino) {
        return {};
    }
    try {
        open();
        takeLock();
        removeDeadTemporaries();
    } catch (const StartupError& error) {
        return {false, error.what()};
    }
    return {true, "report directory " + directory_.string()
                      + (exists ? " was replaced: reopened it" : " was removed: made it again")};
}

std::vector<ReportFile> ReportStore::listReports() const
{
    std::vector<ReportFile> reports;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory_, error)) {
        std::string name = entry.path().filename().string();
        struct stat status {};
        if (reportSenderAddress(name)
            && ::fstatat(directoryFd_.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0
            && S_ISREG(status.st_mode)) {
            reports.push_back({std::move(name), static_cast<std::uint64_t>(status.st_blocks) * 512});
        }
    }
    return reports;
}

}  // namespace collector
