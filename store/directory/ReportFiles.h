#pragma once

// Private to store/directory/.

// The files of a directory store: the directory and this collector's lock in
// it (see DirectoryLock), a temporary file for each staged report, their
// bytes made durable together (SyncChooser picks how), each renamed to a free
// name of its own without replacing anything, and the directory synced. It
// knows nothing of the index or the budget: DirectoryStore puts them
// together.
//
// A store at its budget removes a report for each one it stores. Making a
// file right after removing one is slow (ext4 steps over the inodes it
// freed lately, for seconds), and so is freeing blocks to take others: so a
// removed report's file is kept under a temporary's name and written over
// by a report staged later, as many as limitRecycling() allows. Their
// blocks and inodes are counted as free meanwhile: the limits keep that
// within the budget's slack.

#include "common/UniqueFd.h"
#include "store/ReportStore.h"
#include "store/directory/DirectoryLock.h"
#include "store/directory/SyncChooser.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace store {

// The state of an open directory, which changes whenever an entry comes or
// goes: "device:inode:modification time".
std::string stampOf(int directoryFd);

class ReportFiles {
public:
    // Creates the directory if it is missing, opens it and takes this
    // collector's lock file in it. Throws StartupError naming it.
    explicit ReportFiles(std::filesystem::path directory);

    const std::filesystem::path& directory() const { return directory_; }
    std::string pathOf(const std::string& name) const { return (directory_ / name).string(); }
    int fd() const { return opened_.fd.get(); }
    DirectoryLock& lock() { return *opened_.lock; }
    // The directory's state when it was opened, before the lock was taken.
    const std::string& stampAtOpen() const { return opened_.stamp; }

    // Makes the directory again, or opens it anew, if it was removed or
    // replaced since it was opened: what happened, for a line; nothing if
    // it is in place. Where it fails, the old directory stays, and the next
    // call tries again.
    struct Reopening {
        Notice notice;
        bool reopened = false;
    };
    std::optional<Reopening> reopenIfReplaced();

    // Writes a report's bytes to a temporary file of this collector's own.
    struct Staged {
        std::unique_ptr<Staging> staging;  // none if it failed
        std::string error;
        bool outOfDescriptors = false;  // the process has no descriptor left
    };
    Staged stage(std::span<const unsigned char> report);
    // Makes the bytes of the group's temporaries durable: an error text for
    // each report, or empty.
    std::vector<std::string> makeDurable(const std::vector<PendingReport>& group);
    // Closes a staged report's temporary and renames it to a free name made
    // from its receive time and sender: the name, or an error text (then
    // the temporary is gone). `error` is what made it fail already, if any.
    CommitResult name(const PendingReport& report, const std::string& error);
    // Syncs the directory, so that the names outlast a power loss; an error
    // text, or empty.
    std::string syncDirectory();
    // Removes a stored report (its file emptied and kept for the next
    // report staged): an error text, or empty; `gone` says whether it was
    // already gone.
    std::string remove(const std::string& name, bool& gone);
    // The report file with the oldest name, and what it takes on disk.
    std::optional<std::pair<std::string, std::uint64_t>> oldestReport() const;
    // How many temporaries a group may hold open now, beside what else the
    // process has open.
    std::size_t mostOpenTemporaries() const;
    // Whether another collector's lock file or temporary is in the directory.
    bool othersLeftTraces() const;
    // Lets go of this collector's lock file.
    void releaseLock() { opened_.lock.reset(); }
    // Removes the files kept for reports to come.
    ~ReportFiles();
    ReportFiles(const ReportFiles&) = delete;
    ReportFiles& operator=(const ReportFiles&) = delete;

    // How many removed reports' files, and how many bytes of them, may wait
    // to be written over; none by default.
    void limitRecycling(std::size_t files, std::uint64_t bytes);

private:
    // The directory and this collector's lock in it, had together.
    struct Opened {
        crashreports::UniqueFd fd;
        std::optional<DirectoryLock> lock;  // in `fd`, so it goes first
        std::string stamp;                  // the directory's state before the lock was taken

        Opened(crashreports::UniqueFd directoryFd, std::optional<DirectoryLock> directoryLock, std::string state)
            : fd(std::move(directoryFd)), lock(std::move(directoryLock)), stamp(std::move(state))
        {
        }
        Opened(Opened&&) noexcept = default;
        Opened& operator=(Opened&& other) noexcept
        {
            lock.reset();
            fd = std::move(other.fd);
            lock = std::move(other.lock);
            stamp = std::move(other.stamp);
            return *this;
        }
    };
    // Opens the directory, making it if it is missing, and takes the lock;
    // `again` when it replaces one opened before.
    static Opened open(const std::filesystem::path& directory, bool again);
    bool renameNoReplace(const std::string& from, const std::string& to);
    // Moves the report `name` to a temporary's name to be written over;
    // whether it is gone from its name (else it is unlinked as removal
    // always did).
    bool recycle(const std::string& name);
    // The file of a removed report, open to be written over, if one waits.
    crashreports::UniqueFd takeRecycled(std::string& temporary);
    void dropRecycled();
    struct Recycled {
        std::string name;
        std::uint64_t disk = 0;
    };



    std::filesystem::path directory_;
    Opened opened_;
    SyncChooser syncChooser_;
    std::vector<Recycled> recycled_;  // removed reports' files under temporaries' names
    std::size_t mostRecycled_ = 0;
    std::uint64_t mostRecycledBytes_ = 0;
    std::uint64_t recycledBytes_ = 0;
    std::uint64_t sequence_ = 0;
    std::uint64_t temporaries_ = 0;
    bool noReplaceRename_ = true;  // off where the filesystem lacks it
};

}  // namespace store
