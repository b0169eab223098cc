#pragma once

// Private to store/directory/.

// How collectors share a report directory. Each holds a lock file of its own
// for as long as it lives, named after a random owner mark that also names
// its temporaries, so that none removes another's. A lock file is made under
// a passing name, locked, and only then renamed into place: a lock file in
// place is always locked while its owner lives, and a free one means that
// its owner is gone.

#include "common/UniqueFd.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace store {

class DirectoryLock {
public:
    // Takes a new owner's lock file in the open directory `directoryFd`,
    // which must outlive the lock. Throws StartupError naming `path`.
    DirectoryLock(int directoryFd, const std::filesystem::path& path);
    DirectoryLock(DirectoryLock&& other) noexcept;
    DirectoryLock& operator=(DirectoryLock&& other) noexcept;
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    // Removes the lock file.
    ~DirectoryLock();

    const std::string& owner() const { return owner_; }

    // What becomes of `name`, an entry of the directory: the lock file of a
    // collector that is gone is removed, and so are its temporaries; so are
    // temporaries and passing lock files of no owner once they are old
    // enough that no collector can still be making them. Anything else is
    // left alone.
    void tidy(std::string_view name) const;
    // Tidies every entry of the directory.
    void removeDeadTemporaries() const;

private:
    enum class LockState { Held, Free, Missing };
    LockState stateOf(const std::string& lockName) const;
    void release();
    // Takes the lock file of a collector that is gone as this one's own;
    // whether there was one.
    bool takeOverDeadLock();

    int directoryFd_ = -1;
    std::string owner_;
    crashreports::UniqueFd lock_;
};

}  // namespace store
