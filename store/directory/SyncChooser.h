#pragma once

// Private to store/directory/.

// Chooses how a group of new files is made durable: by syncing each file
// (writeback of all started first, so that their syncs overlap), or with one
// sync of their whole filesystem (syncfs). Syncing each file touches only
// our files. A filesystem sync also writes out every other program's unsynced
// data there, which on a shared filesystem costs them and us; on a
// filesystem nobody else writes to it is the cheaper way for large groups,
// its cost being mostly one journal commit however many files there are.
//
// So a group too small to teach anything syncs each file, and a single
// report never syncs the filesystem. The first large group is split: a few
// files synced each, the rest with a filesystem sync, which shows what both
// ways cost here. From then on a filesystem sync is taken only while it
// costs less than syncing the group's files one by one would; one that
// turns slow (someone else's data to write) sends the groups back to syncing
// each file at once. The way not taken is tried again now and then, on a
// few files only, less often while it keeps losing.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace store {

// How to sync one group: its first `eachFile` files each, then, if
// `filesystem`, one sync of the filesystem for the rest.
struct SyncPlan {
    std::size_t eachFile = 0;
    bool filesystem = false;
    friend bool operator==(const SyncPlan&, const SyncPlan&) = default;
};

class SyncChooser {
public:
    // A trial of the way not taken covers this many files of a group.
    static constexpr std::size_t kTrialFiles = 16;
    // Trials come after this many groups at first, and at most this far
    // apart while the way tried keeps losing.
    static constexpr std::uint64_t kFirstTrialGap = 16;
    static constexpr std::uint64_t kMostTrialGap = 1024;
    // A filesystem sync is chosen only when it costs less than syncing each
    // file by this factor: what it costs others is not in its time.
    static constexpr double kMargin = 1.5;

    SyncPlan plan(std::size_t groupSize);
    // The time that syncing `files` files each took.
    void recordEachFile(std::chrono::duration<double> elapsed, std::size_t files);
    // The time that one filesystem sync took.
    void recordFilesystem(std::chrono::duration<double> elapsed);

private:
    bool prefersFilesystem(std::size_t groupSize) const;
    SyncPlan trial(std::size_t groupSize, bool filesystemPreferred);

    std::optional<double> secondsPerFile_;  // syncing each file, lately
    std::optional<double> secondsPerSync_;  // one filesystem sync, lately
    std::uint64_t groups_ = 0;
    std::uint64_t nextTrial_ = 0;
    std::uint64_t trialGap_ = kFirstTrialGap;
    std::optional<bool> lastPreferred_;  // filesystem, at the last trial
};

}  // namespace store
