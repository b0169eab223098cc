#include "store/directory/DirectoryStore.h"

#include "common/StartupError.h"
#include "store/ReportNames.h"
#include "store/directory/DirectoryListing.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
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
// The most reports synced together: 1024 small reports are stored about
// twice as fast as 4 groups of 256.
constexpr std::size_t kMostGroupReports = 1024;
// Report bytes written before they are synced together, so that a batch of
// large reports is not all held back until the end.
constexpr std::uint64_t kMostGroupBytes = 64 << 20;
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

// As many files as the open file limit leaves room for beside the ones open
// now, at least one and at most kMostGroupReports.
std::size_t mostFilesInAGroup()
{
    rlimit limit{};
    std::size_t open = 0;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || !forEachEntry(AT_FDCWD, "/proc/self/fd", [&](std::string_view) {
            ++open;
        })) {
        return kMostGroupReports / 4;
    }
    const std::size_t taken = open + kSpareFiles;
    const std::size_t room = limit.rlim_cur > taken ? static_cast<std::size_t>(limit.rlim_cur) - taken : 1;
    return std::clamp<std::size_t>(room, 1, kMostGroupReports);
}

DiskBudget makeBudget(int directoryFd, const std::filesystem::path& directory, const BudgetOptions& options)
{
    struct statvfs filesystem {};
    if (::fstatvfs(directoryFd, &filesystem) != 0) {
        const int error = errno;
        throw StartupError(withReason("can't measure the filesystem of " + directory.string(), error));
    }
    const std::uint64_t size = std::uint64_t{filesystem.f_blocks} * filesystem.f_frsize;
    return DiskBudget(budgetLimits(options, size, filesystem.f_files), filesystem.f_frsize);
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

DirectoryStore::DirectoryStore(std::filesystem::path directory, const StoreOptions& options,
                               const triage::SkipRules& rules)
    : directory_(std::move(directory)),
      options_(options),
      rules_(rules),
      opened_(open(directory_, false)),
      budget_(makeBudget(fd(), directory_, options.budget))
{
    raiseOpenFileLimit();
    openIndex();
}

DirectoryStore::Opened DirectoryStore::open(const std::filesystem::path& directory, bool again)
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

std::vector<Notice> DirectoryStore::prepareBatch()
{
    std::vector<Notice> notices;
    if (auto notice = reopenIfReplaced()) {
        notices.push_back(std::move(*notice));
    }
    measure();
    mostStagedReports_ = mostFilesInAGroup();
    return notices;
}

std::optional<Notice> DirectoryStore::reopenIfReplaced()
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
        opened_ = open(directory_, true);
    } catch (const StartupError& error) {
        return Notice{true, error.what()};
    }
    openIndex();
    return Notice{false, "report directory " + directory_.string()
                             + (exists ? " was replaced: reopened it" : " was removed: made it again")};
}

StageResult DirectoryStore::stage(std::span<const unsigned char> report, const ReportInfo& info)
{
    const std::string& group = info.signature.id;
    budget_.reserve(group, report.size());
    std::string temporary = temporaryFileName(opened_.lock->owner(), ++temporaries_);
    const std::string path = locationOf(temporary);
    UniqueFd file(::openat(fd(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
    if (!file) {
        const int error = errno;
        budget_.release(group, report.size());
        return {std::nullopt, withReason("can't create " + path, error), error == EMFILE || error == ENFILE};
    }
    if (const int error = writeAll(file.get(), report); error != 0) {
        ::unlinkat(fd(), temporary.c_str(), 0);
        budget_.release(group, report.size());
        return {std::nullopt, withReason("can't write " + path, error)};
    }
    return {PendingReport{report.size(), info, std::make_unique<TemporaryFile>(std::move(temporary), std::move(file))},
            {}};
}

std::uint64_t DirectoryStore::mostStagedBytes() const
{
    return kMostGroupBytes;
}

std::vector<CommitResult> DirectoryStore::commit(std::vector<PendingReport>& group)
{
    std::vector<CommitResult> results(group.size());
    const std::vector<std::string> errors = makeDurable(group);
    bool durable = false;
    try {
        durable = renameAndSync(group, errors, results);
    } catch (...) {
        // A commit cut short leaves no group open in the index.
        closeIndexGroup(false);
        throw;
    }
    closeIndexGroup(durable);
    for (std::size_t index = 0; index < group.size(); ++index) {
        const std::string& groupId = group[index].info.signature.id;
        if (results[index].name.empty()) {
            budget_.release(groupId, group[index].size);
        } else {
            budget_.settle(groupId, group[index].size);
        }
        if (results[index].stored()) {
            ++totals_.reports;
            totals_.disk += budget_.onDisk(group[index].size);
        }
        group[index].staging.reset();
    }
    return results;
}

bool DirectoryStore::renameAndSync(std::vector<PendingReport>& group, const std::vector<std::string>& errors,
                                   std::vector<CommitResult>& results)
{
    bool renamed = false;
    for (std::size_t index = 0; index < group.size(); ++index) {
        TemporaryFile& temporary = temporaryOf(group[index]);
        std::string error = errors[index];
        if (error.empty() && temporary.file.close() != 0) {
            const int reason = errno;
            error = withReason("can't close " + locationOf(temporary.name), reason);
        }
        if (!error.empty()) {
            ::unlinkat(fd(), temporary.name.c_str(), 0);
            results[index].error = error;
            continue;
        }
        results[index] = renameToFreeName(group[index]);
        if (!results[index].name.empty()) {
            renamed = true;
            // The index takes it meanwhile, and keeps it once it is durable.
            handToIndex(group[index], results[index].name);
        }
    }
    if (writer_) {
        writer_->handedAll();
    }
    if (!renamed || ::fsync(fd()) == 0) {
        return true;
    }
    const int reason = errno;
    const std::string error = withReason("can't sync report directory " + directory_.string(), reason);
    for (auto& result : results) {
        if (!result.name.empty()) {
            result.error = error + "; " + result.name + " is whole but may not outlast a power loss";
        }
    }
    return false;
}

std::vector<std::string> DirectoryStore::makeDurable(const std::vector<PendingReport>& group)
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
                errors[index] = withReason("can't sync " + locationOf(temporary.name), error);
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

CommitResult DirectoryStore::renameToFreeName(const PendingReport& report)
{
    const std::string& temporary = temporaryOf(report).name;
    std::string name;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        name = reportFileName(report.info.received, report.info.sender, ++sequence_);
        if (renameNoReplace(temporary, name)) {
            return {name, {}};
        }
        if (errno != EEXIST) {
            break;
        }
    }
    const int error = errno;
    ::unlinkat(fd(), temporary.c_str(), 0);
    return {{}, withReason("can't rename " + locationOf(temporary) + " to " + name, error)};
}

bool DirectoryStore::renameNoReplace(const std::string& from, const std::string& to)
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

std::string DirectoryStore::remove(const std::string& name)
{
    if (::unlinkat(fd(), name.c_str(), 0) != 0 && errno != ENOENT) {
        const int error = errno;
        return withReason("can't remove " + locationOf(name), error);
    }
    forgetRemoved(name);
    return {};
}

}  // namespace store
