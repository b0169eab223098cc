#include "DirectoryLock.h"

#include "DirectoryListing.h"
#include "ReportNames.h"
#include "StartupError.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <set>
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

std::string randomOwner()
{
    unsigned char bytes[8] = {};
    if (::getrandom(bytes, sizeof bytes, 0) != sizeof bytes) {
        const int error = errno;
        throw StartupError(withReason("can't draw a random name", error));
    }
    char text[2 * sizeof bytes + 1] = {};
    for (std::size_t index = 0; index < sizeof bytes; ++index) {
        std::snprintf(text + 2 * index, 3, "%02x", bytes[index]);
    }
    return text;
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

DirectoryLock::DirectoryLock(int directoryFd, const std::filesystem::path& path)
    : directoryFd_(directoryFd), owner_(randomOwner())
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

void DirectoryLock::removeDeadTemporaries() const
{
    const int dir = directoryFd_;
    std::vector<std::string> names;
    forEachEntry(dir, [&](std::string_view name) { names.emplace_back(name); });
    // Owners whose lock file is free are gone. Their locks are held until
    // their temporaries are removed, so that no one else takes them.
    std::set<std::string, std::less<>> live{owner_};
    std::set<std::string, std::less<>> dead;
    std::vector<std::pair<std::string, UniqueFd>> deadLocks;
    for (const auto& name : names) {
        const auto owner = lockOwner(name);
        if (!owner || *owner == owner_) {
            if (newLockOwner(name) && olderThan(dir, name, kOrphanAge)) {
                ::unlinkat(dir, name.c_str(), 0);
            }
            continue;
        }
        // Opened without waiting: something named like a lock file may be a
        // FIFO, and only a regular file is anyone's lock.
        UniqueFd lock(::openat(dir, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        struct stat status {};
        if (!lock || ::fstat(lock.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
            continue;
        }
        if (::flock(lock.get(), LOCK_EX | LOCK_NB) == 0) {
            dead.emplace(*owner);
            deadLocks.emplace_back(name, std::move(lock));
        } else {
            live.emplace(*owner);
        }
    }
    for (const auto& name : names) {
        const auto owner = temporaryOwner(name);
        if (!owner || live.contains(*owner)) {
            continue;
        }
        // A temporary of an owner with no lock file is an old collector's, or
        // its owner's lock was made after the listing: it must be old, too.
        if (dead.contains(*owner) || olderThan(dir, name, kOrphanAge)) {
            ::unlinkat(dir, name.c_str(), 0);
        }
    }
    for (const auto& lock : deadLocks) {
        ::unlinkat(dir, lock.first.c_str(), 0);
    }
}

}  // namespace store
