#include "SyncChooser.h"

#include <algorithm>

namespace store {

namespace {

// How much one group's timing moves the estimate.
constexpr double kWeight = 0.3;

std::size_t indexOf(SyncWay way)
{
    return way == SyncWay::Filesystem ? 0 : 1;
}

}  // namespace

SyncWay SyncChooser::choose(std::size_t groupSize)
{
    const auto& filesystem = secondsPerFile_[indexOf(SyncWay::Filesystem)];
    const auto& eachFile = secondsPerFile_[indexOf(SyncWay::EachFile)];
    const bool learning = groupSize >= kLearningGroup;
    const std::uint64_t group = learning ? ++groups_ : groups_;
    if (!filesystem) {
        return SyncWay::Filesystem;
    }
    if (!eachFile) {
        const bool slowedDown = *filesystem > kSlowdown * *bestFilesystem_;
        return learning && (slowedDown || group % kFirstTryAfter == 0) ? SyncWay::EachFile : SyncWay::Filesystem;
    }
    const SyncWay faster = *filesystem <= *eachFile ? SyncWay::Filesystem : SyncWay::EachFile;
    const SyncWay slower = faster == SyncWay::Filesystem ? SyncWay::EachFile : SyncWay::Filesystem;
    return learning && group % kRetryEvery == 0 ? slower : faster;
}

void SyncChooser::record(SyncWay way, std::chrono::duration<double> elapsed, std::size_t groupSize)
{
    if (groupSize < kLearningGroup) {
        return;
    }
    const double perFile = elapsed.count() / static_cast<double>(groupSize);
    auto& estimate = secondsPerFile_[indexOf(way)];
    const auto& other = secondsPerFile_[1 - indexOf(way)];
    // A retry of the slower way stands for itself: it is there to see
    // whether things have changed since that way was last taken.
    const bool retry = estimate && other && *estimate > *other;
    estimate = estimate && !retry ? (1 - kWeight) * *estimate + kWeight * perFile : perFile;
    if (way == SyncWay::Filesystem) {
        bestFilesystem_ = std::min(bestFilesystem_.value_or(perFile), perFile);
    }
}

}  // namespace store
