#pragma once

// Stores reports as files in one directory, each whole or not at all, in
// groups that share their syncs. A report's bytes go to a temporary file of
// this collector's own; commit() makes a whole group durable together (one
// sync of the filesystem, or the files' syncs overlapped: SyncChooser picks),
// renames each temporary to its final name without replacing anything, and
// syncs the directory once. Only then is a report stored.
//
// Several collectors may share the directory: each holds a lock file for as
// long as it lives, and names its temporaries after it, so that none removes
// another's. Names are the collector's own (receive time, sender, sequence
// number); nothing from a report goes into a path.

#include "Sender.h"
#include "SyncChooser.h"
#include "UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace collector {

// "20261208T115959.123456Z_127.0.0.1_40000_000001.report"
std::string reportFileName(std::chrono::system_clock::time_point received, const Sender& sender,
                           std::uint64_t sequence);

// The sender's address in a name made by reportFileName(); nothing for any
// other name, so that only the collector's own reports are ever counted or
// removed as such.
std::optional<std::string> reportSenderAddress(std::string_view name);

// A report written to its temporary file, not yet stored.
struct PendingReport {
    std::string temporary;
    UniqueFd file;  // open until the report is committed
    std::uint64_t size = 0;
    Sender sender;
    std::chrono::system_clock::time_point received;
};

struct WriteResult {
    std::optional<PendingReport> pending;
    std::string error;  // why not, otherwise
};

struct CommitResult {
    std::optional<std::string> name;  // the file's final name, if it has one
    std::string error;                // empty once the report is stored
    bool stored() const { return error.empty(); }
};

// A report file of the directory, as found at start.
struct ReportFile {
    std::string name;
    std::uint64_t bytes = 0;  // what it takes on disk
};

class ReportStore {
public:
    // Creates the directory if it is missing, takes this collector's lock
    // file in it and removes the temporaries of collectors that are gone.
    // Throws StartupError naming the directory if it can't be had.
    explicit ReportStore(std::filesystem::path directory);
    ReportStore(const ReportStore&) = delete;
    ReportStore& operator=(const ReportStore&) = delete;
    ~ReportStore();

    WriteResult write(std::span<const unsigned char> report, const Sender& sender,
                      std::chrono::system_clock::time_point received);
    // Stores the reports of `group`: one result for each, in order. Their
    // files are closed.
    std::vector<CommitResult> commit(std::vector<PendingReport>& group);
    // Removes a stored report; an error text, or empty.
    std::string remove(const std::string& name);

    struct Reopening {
        bool reopened = false;
        std::string line;  // what happened, if anything did
    };
    // If the directory was removed or replaced since it was opened, makes it
    // again and reopens it. Throws nothing: a failure comes back in the line,
    // and the store keeps its old handle until a later try succeeds.
    Reopening reopenIfReplaced();

    // The files of the directory named as this collector names reports.
    std::vector<ReportFile> listReports() const;
    int directoryFd() const { return directoryFd_.get(); }
    const std::filesystem::path& directory() const { return directory_; }

private:
    void open();
    void takeLock();
    void removeDeadTemporaries() const;
    // Syncs the bytes of the group's files; an error text for each, or empty.
    std::vector<std::string> makeDurable(const std::vector<PendingReport>& group);
    // Renames `temporary` to a free name; the name, or an error text.
    CommitResult renameToFreeName(const PendingReport& report);
    bool renameNoReplace(const std::string& from, const std::string& to);

    std::filesystem::path directory_;
    UniqueFd directoryFd_;
    UniqueFd lock_;
    std::string owner_;  // this collector's mark in its lock and temporaries
    std::uint64_t sequence_ = 0;
    std::uint64_t temporaries_ = 0;
    bool noReplaceRename_ = true;  // off where the filesystem lacks it
    SyncChooser syncChooser_;
};

}  // namespace collector
