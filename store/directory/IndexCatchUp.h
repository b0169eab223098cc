#pragma once

// Private to store/directory/.

// Brings a directory's index up to date with its report files, a slice at a
// time and in constant memory, while the collector serves: files that the
// index lacks are read and indexed, reports whose file is gone are
// forgotten, and reports signed by an older version of the signature are
// signed again. The files are the truth. Reports that came after the
// newest one the index held (stored while the index could not take them)
// make news of their groups as if they had been indexed as they came; the
// others, an index made anew, make none.

#include "signature/SkipRules.h"
#include "store/directory/DirectoryListing.h"
#include "store/directory/ReportIndex.h"

#include <dirent.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace store {

// The index's entry for the report file `name` in the open directory
// `directoryFd`, read without following links or waiting on anything that
// is not a regular file; nothing if `name` is not a report's or can't be
// read.
std::optional<IndexEntry> readIndexEntry(int directoryFd, std::string_view name, const triage::SkipRules& rules);

class IndexCatchUp {
public:
    struct Tally {
        std::uint64_t indexed = 0;
        std::uint64_t forgotten = 0;
        std::uint64_t signedAgain = 0;
    };

    // `tidy` is called with every other name of the directory than the
    // reports', as the walk comes across it; a group quiet for `quiet`
    // comes back as regressed.
    IndexCatchUp(ReportIndex& index, const triage::SkipRules& rules, std::chrono::seconds quiet,
                 std::function<void(std::string_view)> tidy);

    // Starts a walk over the open directory `directoryFd` from the start.
    void start(int directoryFd);
    bool running() const { return phase_ != Phase::Idle; }
    // Walks on until about `deadline`; whether work is left. Throws
    // sqlite::Error if the index can't be written.
    bool step(std::chrono::steady_clock::time_point deadline);
    // What the walk that ended last did.
    const Tally& tally() const { return tally_; }
    // The news of groups that the walk made since the last call.
    std::vector<GroupNews> takeNews() { return std::exchange(news_, {}); }

private:
    enum class Phase { Idle, Files, Gone, Outdated };

    void stepFiles(std::chrono::steady_clock::time_point deadline);
    void stepGone(std::chrono::steady_clock::time_point deadline);
    void stepOutdated(std::chrono::steady_clock::time_point deadline);

    void addMissing(std::vector<IndexEntry>& missing);

    ReportIndex& index_;
    const triage::SkipRules& rules_;
    const std::chrono::seconds quiet_;
    std::optional<TimePoint> newestIndexed_;  // when the walk started
    std::vector<GroupNews> news_;
    std::function<void(std::string_view)> tidy_;
    int directoryFd_ = -1;
    Phase phase_ = Phase::Idle;
    Listing listing_;
    std::string lastId_;  // of the walk over the index's reports
    std::vector<std::string> lockFiles_;  // collectors' lock files, tidied after the walk
    Tally tally_;
};

}  // namespace store
