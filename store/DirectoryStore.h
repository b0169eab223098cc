#pragma once

// A report store that keeps each report as a file in one directory, whole or
// not at all. A report's bytes go to a temporary file of this collector's
// own; commit() makes a whole group durable together (one sync of the
// filesystem, or the files' syncs overlapped: SyncChooser picks), renames
// each temporary to its final name without replacing anything, and syncs the
// directory once. Several collectors may share the directory (see
// DirectoryLock). The reports keep within a DiskBudget.

#include "DirectoryLock.h"
#include "DiskBudget.h"
#include "ReportStore.h"
#include "SyncChooser.h"
#include "UniqueFd.h"

#include <filesystem>
#include <optional>

namespace store {

// The limits asked for; a limit not given defaults to a share of the
// filesystem (see budgetLimits()).
struct BudgetOptions {
    std::optional<std::uint64_t> maxUse;
    std::optional<std::uint64_t> keepFree;
};

class DirectoryStore final : public ReportStore {
public:
    // Creates the directory if it is missing, takes this collector's lock
    // file in it, removes the temporaries of collectors that are gone and
    // counts the reports there. Throws StartupError naming the directory if
    // it can't be had.
    DirectoryStore(std::filesystem::path directory, BudgetOptions budget = {});

    std::string location() const override { return directory_.string(); }
    std::string locationOf(const std::string& name) const override { return (directory_ / name).string(); }
    std::uint64_t count() const override { return budget_.count(); }

    // Makes the directory again, or reopens it, if it was removed or
    // replaced since it was opened, and measures the free space.
    std::vector<Notice> prepareBatch() override;
    Room makeRoom(std::uint64_t size, const Endpoint& sender) override;
    StageResult stage(std::span<const unsigned char> report, const Endpoint& sender,
                      Clock::time_point received) override;
    std::size_t mostStagedReports() const override { return mostStagedReports_; }
    std::uint64_t mostStagedBytes() const override;
    std::vector<CommitResult> commit(std::vector<PendingReport>& group) override;

    // Removes a stored report; an error text, or empty.
    std::string remove(const std::string& name);
    // The files of the directory named as reports are named.
    std::vector<StoredFile> listReports() const;
    const std::filesystem::path& directory() const { return directory_; }
    const BudgetLimits& limits() const { return budget_.limits(); }

private:
    // The directory and this collector's lock in it, had together.
    struct Opened {
        crashreports::UniqueFd fd;
        std::optional<DirectoryLock> lock;  // in `fd`, so it goes first

        Opened(crashreports::UniqueFd directoryFd, std::optional<DirectoryLock> directoryLock)
            : fd(std::move(directoryFd)), lock(std::move(directoryLock))
        {
        }
        Opened(Opened&&) noexcept = default;
        Opened& operator=(Opened&& other) noexcept
        {
            lock.reset();
            fd = std::move(other.fd);
            lock = std::move(other.lock);
            return *this;
        }
    };
    // Opens the directory, making it if it is missing, and takes the lock;
    // `again` when it replaces one opened before.
    static Opened open(const std::filesystem::path& directory, bool again);
    std::optional<Notice> reopenIfReplaced();
    void measureFree();

    // Syncs the bytes of the group's files; an error text for each, or empty.
    std::vector<std::string> makeDurable(const std::vector<PendingReport>& group);
    // Renames a staged report to a free name; the name, or an error text.
    CommitResult renameToFreeName(const PendingReport& report);
    bool renameNoReplace(const std::string& from, const std::string& to);
    int fd() const { return opened_.fd.get(); }

    std::filesystem::path directory_;
    Opened opened_;
    DiskBudget budget_;
    SyncChooser syncChooser_;
    std::size_t mostStagedReports_ = 1;  // measured before each batch
    std::uint64_t sequence_ = 0;
    std::uint64_t temporaries_ = 0;
    bool noReplaceRename_ = true;  // off where the filesystem lacks it
};

}  // namespace store
