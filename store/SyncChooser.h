#pragma once

// Chooses how a group of new files is made durable: with one sync of their
// whole filesystem (syncfs), or by starting every file's writeback and then
// syncing each. On a filesystem that nothing else writes to, the first is
// two to five times as fast; while other programs write to it, the first
// also writes out all of theirs and the second may win. So the filesystem
// sync comes first; syncing each file is tried once the filesystem sync has
// become much slower than it was at its best (or, at the latest, after a
// while), and from then on the cost per file that each way has shown lately
// decides, with the slower way tried again now and then.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace store {

enum class SyncWay { Filesystem, EachFile };

class SyncChooser {
public:
    // Groups smaller than this time too roughly to teach anything.
    static constexpr std::size_t kLearningGroup = 8;
    // Every this many groups the way that seems slower is tried again.
    static constexpr std::uint64_t kRetryEvery = 16;
    // Syncing each file is first tried once the filesystem sync costs this
    // many times its best, or after this many groups.
    static constexpr double kSlowdown = 2;
    static constexpr std::uint64_t kFirstTryAfter = 64;

    SyncWay choose(std::size_t groupSize);
    void record(SyncWay way, std::chrono::duration<double> elapsed, std::size_t groupSize);

private:
    std::array<std::optional<double>, 2> secondsPerFile_;  // lately, by way
    std::optional<double> bestFilesystem_;                 // seconds per file
    std::uint64_t groups_ = 0;                             // that could teach
};

}  // namespace store
