#include "store/directory/ReportFiles.h"

#include "common/StartupError.h"
#include "store/ReportNames.h"
#include "store/directory/DirectoryListing.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace store {

namespace {

using crashreports::StartupError;
using crashreports::UniqueFd;
using crashreports::withReason;

// Names tried for one report before giving up.
constexpr int kNameAttempts = 1000;
// The most temporaries open at once: 1024 small reports are stored about
// twice as fast as 4 groups of 256.
constexpr std::size_t kMostOpenTemporaries = 1024;
// Descriptors left free beside a group's temporaries, for what else opens
// files while a group is staged.
constexpr std::size_t kSpareFiles = 8;

// A staged report: its temporary file, open until the report is committed.
struct TemporaryFile final : Staging {
    std::string name;
    UniqueFd file;
    TemporaryFile(std::string temporaryName, UniqueFd fd) : name(std::move(temporaryName)), file(std::move(fd)) {}
};

TemporaryFile& temporaryOf(const PendingReport& report)
{
    return static_cast<TemporaryFile&>(*report.staging);
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

// Raises the soft limit of open files to the hard one: a group keeps a file
// open for each of its reports until they are synced.
void raiseOpenFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

std::string stampOf(int directoryFd)
{
    struct stat status {};
    if (::fstat(directoryFd, &status) != 0) {
        return {};
    }
    return std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino) + ":"
        + std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
}

ReportFiles::ReportFiles(std::filesystem::path directory)
    : directory_(std::move(directory)), opened_(open(directory_, false))
{
    raiseOpenFileLimit();
}

ReportFiles::~ReportFiles()
{
    dropRecycled();
}

void ReportFiles::dropRecycled()
{
    for (const Recycled& file : recycled_) {
        ::unlinkat(fd(), file.name.c_str(), 0);
    }
    recycled_.clear();
    recycledBytes_ = 0;
}

void ReportFiles::limitRecycling(std::size_t files, std::uint64_t bytes)
{
    mostRecycled_ = files;
    mostRecycledBytes_ = bytes;
}

ReportFiles::Opened ReportFiles::open(const std::filesystem::path& directory, bool again)
{
    // The directory named at start is the operator's to choose; one put in
    // its place later by a symbolic link is not followed.
    struct stat link {};
    if (again && ::lstat(directory.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        throw StartupError("report directory " + directory.string()
                           + " was replaced by a symbolic link: refused it, storing on in the directory it replaced");
    }
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) {
        throw StartupError("can't create report directory " + directory.string() + ": " + error.message());
    }
    Opened opened{UniqueFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (again ? O_NOFOLLOW : 0))),
                  std::nullopt, {}};
    if (!opened.fd) {
        const int reason = errno;
        throw StartupError(withReason("can't open report directory " + directory.string(), reason));
    }
    // Found now rather than at the first report.
    if (::faccessat(opened.fd.get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
        const int reason = errno;
        throw StartupError(withReason("can't write to report directory " + directory.string(), reason));
    }
    opened.stamp = stampOf(opened.fd.get());
    opened.lock.emplace(opened.fd.get(), directory);
    return opened;
}

std::optional<ReportFiles::Reopening> ReportFiles::reopenIfReplaced()
{
    struct stat opened {};
    struct stat current {};
    const bool exists = ::stat(directory_.c_str(), &current) == 0;
    if (::fstat(fd(), &opened) == 0 && opened.st_nlink > 0 && exists && opened.st_dev == current.st_dev
        && opened.st_ino == current.st_ino) {
        return std::nullopt;
    }
    // The old directory and lock stay until the new ones are had together,
    // so that a failure here is tried again before the next batch.
    try {
        Opened reopened = open(directory_, true);
        dropRecycled();
        opened_ = std::move(reopened);
    } catch (const StartupError& error) {
        return Reopening{{Notice::Level::Error, error.what()}, false};
    }
    return Reopening{{Notice::Level::Warning, "report directory " + directory_.string()
                                                  + (exists ? " was replaced: reopened it" : " was removed: made it again")},
                     true};
}

ReportFiles::Staged ReportFiles::stage(std::span<const unsigned char> report)
{
    std::string temporary;
    UniqueFd file = takeRecycled(temporary);
    const bool recycled = static_cast<bool>(file);
    if (!recycled) {
        temporary = temporaryFileName(opened_.lock->owner(), ++temporaries_);
        file = UniqueFd(::openat(fd(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
    }
    const std::string path = pathOf(temporary);
    if (!file) {
        const int error = errno;
        return {nullptr, withReason("can't create " + path, error), error == EMFILE || error == ENFILE};
    }
    struct stat status {};
    int error = writeAll(file.get(), report);
    // Written over a removed report's file: what is left of it goes.
    if (error == 0 && recycled
        && (::fstat(file.get(), &status) != 0 || static_cast<std::uint64_t>(status.st_size) > report.size())
        && ::ftruncate(file.get(), static_cast<off_t>(report.size())) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlinkat(fd(), temporary.c_str(), 0);
        return {nullptr, withReason("can't write " + path, error)};
    }
    return {std::make_unique<TemporaryFile>(std::move(temporary), std::move(file)), {}};
}

UniqueFd ReportFiles::takeRecycled(std::string& temporary)
{
    while (!recycled_.empty()) {
        Recycled file = std::move(recycled_.back());
        recycled_.pop_back();
        recycledBytes_ -= std::min(recycledBytes_, file.disk);
        UniqueFd opened(::openat(fd(), file.name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
        if (opened) {
            temporary = std::move(file.name);
            return opened;
        }
        ::unlinkat(fd(), file.name.c_str(), 0);
    }
    return UniqueFd();
}

std::vector<std::string> ReportFiles::makeDurable(const std::vector<PendingReport>& group)
{
    using Steady = std::chrono::steady_clock;
    std::vector<std::string> errors(group.size());
    const auto syncEach = [&](std::size_t from, std::size_t to) {
        // Writeback of every file first, so that their syncs overlap.
        for (std::size_t index = from; index < to; ++index) {
            ::sync_file_range(temporaryOf(group[index]).file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
        }
        for (std::size_t index = from; index < to; ++index) {
            const TemporaryFile& temporary = temporaryOf(group[index]);
            if (::fdatasync(temporary.file.get()) != 0) {
                const int error = errno;
                errors[index] = withReason("can't sync " + pathOf(temporary.name), error);
            }
        }
    };
    const SyncPlan plan = syncChooser_.plan(group.size());
    const std::size_t eachFile = std::min(plan.eachFile, group.size());
    auto start = Steady::now();
    syncEach(0, eachFile);
    syncChooser_.recordEachFile(Steady::now() - start, eachFile);
    if (plan.filesystem && eachFile < group.size()) {
        start = Steady::now();
        // syncfs fails for a write error anywhere on the filesystem: then
        // each report's own sync tells whether its bytes are safe.
        if (::syncfs(fd()) == 0) {
            syncChooser_.recordFilesystem(Steady::now() - start);
        } else {
            syncEach(eachFile, group.size());
        }
    }
    return errors;
}

CommitResult ReportFiles::name(const PendingReport& report, const std::string& error)
{
    TemporaryFile& temporary = temporaryOf(report);
    std::string failure = error;
    if (failure.empty() && temporary.file.close() != 0) {
        const int reason = errno;
        failure = withReason("can't close " + pathOf(temporary.name), reason);
    }
    std::string name;
    for (int attempt = 0; attempt < kNameAttempts && failure.empty(); ++attempt) {
        name = reportFileName(report.info.received, report.info.sender, ++sequence_);
        if (renameNoReplace(temporary.name, name)) {
            return {name, {}};
        }
        if (errno != EEXIST || attempt + 1 == kNameAttempts) {
            const int reason = errno;
            failure = withReason("can't rename " + pathOf(temporary.name) + " to " + name, reason);
        }
    }
    ::unlinkat(fd(), temporary.name.c_str(), 0);
    return {{}, failure};
}

bool ReportFiles::renameNoReplace(const std::string& from, const std::string& to)
{
    if (noReplaceRename_) {
        if (::renameat2(fd(), from.c_str(), fd(), to.c_str(), RENAME_NOREPLACE) == 0) {
            return true;
        }
        if (errno != EINVAL && errno != ENOSYS) {
            return false;
        }
        // The filesystem has no such rename: a link never replaces either.
        noReplaceRename_ = false;
    }
    if (::linkat(fd(), from.c_str(), fd(), to.c_str(), 0) != 0) {
        return false;
    }
    ::unlinkat(fd(), from.c_str(), 0);
    return true;
}

std::string ReportFiles::syncDirectory()
{
    if (::fsync(fd()) == 0) {
        return {};
    }
    const int reason = errno;
    return withReason("can't sync report directory " + directory_.string(), reason);
}

std::string ReportFiles::remove(const std::string& name, bool& gone)
{
    gone = false;
    if (recycle(name) || ::unlinkat(fd(), name.c_str(), 0) == 0) {
        return {};
    }
    const int error = errno;
    gone = error == ENOENT;
    return gone ? std::string() : withReason("can't remove " + pathOf(name), error);
}

bool ReportFiles::recycle(const std::string& name)
{
    if (recycled_.size() >= mostRecycled_ || recycledBytes_ >= mostRecycledBytes_) {
        return false;
    }
    std::string temporary = temporaryFileName(opened_.lock->owner(), ++temporaries_);
    if (::renameat(fd(), name.c_str(), fd(), temporary.c_str()) != 0) {
        return false;
    }
    // Only a regular file of no other name is written over.
    struct stat status {};
    if (::fstatat(fd(), temporary.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(status.st_mode)
        || status.st_nlink != 1) {
        ::unlinkat(fd(), temporary.c_str(), 0);
        return true;
    }
    const auto disk = static_cast<std::uint64_t>(status.st_blocks) * 512;
    recycled_.push_back({std::move(temporary), disk});
    recycledBytes_ += disk;
    return true;
}

std::optional<std::pair<std::string, std::uint64_t>> ReportFiles::oldestReport() const
{
    std::string oldest;
    forEachEntry(fd(), [&](std::string_view name) {
        if ((oldest.empty() || name < oldest) && parseReportName(name)) {
            oldest = name;
        }
    });
    struct stat status {};
    if (oldest.empty() || ::fstatat(fd(), oldest.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::nullopt;
    }
    return std::pair{oldest, static_cast<std::uint64_t>(status.st_blocks) * 512};
}

std::size_t ReportFiles::mostOpenTemporaries() const
{
    rlimit limit{};
    std::size_t open = 0;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || !forEachEntry(AT_FDCWD, "/proc/self/fd", [&](std::string_view) {
            ++open;
        })) {
        return kMostOpenTemporaries / 4;
    }
    const std::size_t taken = open + kSpareFiles;
    const std::size_t room = limit.rlim_cur > taken ? static_cast<std::size_t>(limit.rlim_cur) - taken : 1;
    return std::clamp<std::size_t>(room, 1, kMostOpenTemporaries);
}

bool ReportFiles::othersLeftTraces() const
{
    const std::string& owner = opened_.lock->owner();
    bool found = false;
    forEachEntry(fd(), [&](std::string_view name) {
        const auto mark = lockOwner(name) ? lockOwner(name) : temporaryOwner(name);
        found = found || newLockOwner(name) || (mark && *mark != owner);
    });
    return found;
}

}  // namespace store
