#include "store/directory/DirectoryLock.h"

#include "common/StartupError.h"
#include "store/ReportNames.h"
#include "store/directory/DirectoryListing.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <utility>
#include <vector>

namespace store {

namespace {

using crashreports::StartupError;
using crashreports::UniqueFd;
using crashreports::withReason;

// No collector stays between making a file and naming it as its own this
// long: a passing lock file or an ownerless temporary this old is left over.
constexpr auto kOrphanAge = std::chrono::seconds(60);

bool olderThan(int directory, const std::string& name, std::chrono::seconds age)
{
    struct stat status {};
    if (::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    return std::time(nullptr) - status.st_mtime > age.count();
}

}  // namespace

DirectoryLock::DirectoryLock(int directoryFd, const std::filesystem::path& path)
    : directoryFd_(directoryFd), owner_(drawOwnerMark())
{
    const std::string passing = newLockFileName(owner_);
    UniqueFd lock(::openat(directoryFd, passing.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
    // With no inode left for a new lock file, a dead collector's will do.
    if (!lock && (errno == ENOSPC || errno == EDQUOT) && takeOverDeadLock()) {
        return;
    }
    if (!lock || ::flock(lock.get(), LOCK_EX) != 0
        || ::renameat(directoryFd, passing.c_str(), directoryFd, lockFileName(owner_).c_str()) != 0) {
        const int error = errno;
        ::unlinkat(directoryFd, passing.c_str(), 0);
        throw StartupError(withReason("can't take a lock file in report directory " + path.string(), error));
    }
    lock_ = std::move(lock);
}

bool DirectoryLock::takeOverDeadLock()
{
    std::vector<std::string> locks;
    forEachEntry(directoryFd_, [&](std::string_view name) {
        if (lockOwner(name)) {
            locks.emplace_back(name);
        }
    });
    for (const auto& name : locks) {
        UniqueFd lock(::openat(directoryFd_, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        struct stat status {};
        if (lock && ::fstat(lock.get(), &status) == 0 && S_ISREG(status.st_mode)
            && ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0
            && ::renameat(directoryFd_, name.c_str(), directoryFd_, lockFileName(owner_).c_str()) == 0) {
            lock_ = std::move(lock);
            return true;
        }
    }
    return false;
}

DirectoryLock::DirectoryLock(DirectoryLock&& other) noexcept
    : directoryFd_(std::exchange(other.directoryFd_, -1)),
      owner_(std::move(other.owner_)),
      lock_(std::move(other.lock_))
{
}

DirectoryLock& DirectoryLock::operator=(DirectoryLock&& other) noexcept
{
    if (this != &other) {
        release();
        directoryFd_ = std::exchange(other.directoryFd_, -1);
        owner_ = std::move(other.owner_);
        lock_ = std::move(other.lock_);
    }
    return *this;
}

DirectoryLock::~DirectoryLock()
{
    release();
}

void DirectoryLock::release()
{
    if (lock_) {
        ::unlinkat(directoryFd_, lockFileName(owner_).c_str(), 0);
        lock_.reset();
    }
}

DirectoryLock::LockState DirectoryLock::stateOf(const std::string& lockName) const
{
    // Opened without waiting: something named like a lock file may be a
    // FIFO, and only a regular file is anyone's lock.
    const UniqueFd lock(::openat(directoryFd_, lockName.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat status {};
    if (!lock || ::fstat(lock.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return LockState::Missing;
    }
    return ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0 ? LockState::Free : LockState::Held;
}

void DirectoryLock::tidy(std::string_view name) const
{
    const int dir = directoryFd_;
    const std::string file(name);
    if (const auto owner = lockOwner(name)) {
        if (*owner != owner_ && stateOf(file) == LockState::Free) {
            ::unlinkat(dir, file.c_str(), 0);
        }
    } else if (newLockOwner(name)) {
        if (olderThan(dir, file, kOrphanAge)) {
            ::unlinkat(dir, file.c_str(), 0);
        }
    } else if (const auto temporaryOwnerMark = temporaryOwner(name); temporaryOwnerMark && *temporaryOwnerMark != owner_) {
        // A temporary of an owner with no lock file is an old collector's,
        // or its owner's lock was made after this was looked at: it must be
        // old, too.
        const LockState state = stateOf(lockFileName(*temporaryOwnerMark));
        if (state == LockState::Free || (state == LockState::Missing && olderThan(dir, file, kOrphanAge))) {
            ::unlinkat(dir, file.c_str(), 0);
        }
    }
}

void DirectoryLock::removeDeadTemporaries() const
{
    // Temporaries first, while their owners' lock files are still there to
    // say whether they are gone.
    std::vector<std::string> others;
    forEachEntry(directoryFd_, [&](std::string_view name) {
        if (temporaryOwner(name)) {
            tidy(name);
        } else if (lockOwner(name) || newLockOwner(name)) {
            others.emplace_back(name);
        }
    });
    for (const auto& name : others) {
        tidy(name);
    }
}

}  // namespace store
