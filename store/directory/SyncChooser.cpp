#include "store/directory/SyncChooser.h"

#include <algorithm>

namespace store {

namespace {

// How much one timing moves an estimate.
constexpr double kWeight = 0.3;

void blend(std::optional<double>& estimate, double sample)
{
    estimate = estimate ? (1 - kWeight) * *estimate + kWeight * sample : sample;
}

}  // namespace

bool SyncChooser::prefersFilesystem(std::size_t groupSize) const
{
    return secondsPerFile_ && secondsPerSync_
        && *secondsPerSync_ * kMargin < *secondsPerFile_ * static_cast<double>(groupSize);
}

SyncPlan SyncChooser::plan(std::size_t groupSize)
{
    ++groups_;
    const bool filesystem = prefersFilesystem(groupSize);
    // A trial needs files of both kinds: some synced each, some left to the
    // filesystem sync; the first, before a filesystem sync has been timed,
    // leaves it the most.
    if (groupSize > kTrialFiles && groups_ >= nextTrial_) {
        return trial(groupSize, filesystem || !secondsPerSync_);
    }
    return filesystem ? SyncPlan{0, true} : SyncPlan{groupSize, false};
}

SyncPlan SyncChooser::trial(std::size_t groupSize, bool filesystemPreferred)
{
    if (lastPreferred_ == filesystemPreferred) {
        trialGap_ = std::min(trialGap_ * 2, kMostTrialGap);
    } else {
        trialGap_ = kFirstTrialGap;
    }
    lastPreferred_ = filesystemPreferred;
    nextTrial_ = groups_ + trialGap_;
    // The way not taken gets a few files; both ways are timed.
    return filesystemPreferred ? SyncPlan{kTrialFiles, true} : SyncPlan{groupSize - kTrialFiles, true};
}

void SyncChooser::recordEachFile(std::chrono::duration<double> elapsed, std::size_t files)
{
    if (files != 0) {
        blend(secondsPerFile_, elapsed.count() / static_cast<double>(files));
    }
}

void SyncChooser::recordFilesystem(std::chrono::duration<double> elapsed)
{
    // One slow sync stands for itself: it is there to tell that others have
    // started writing, and the next groups should hear it at once.
    if (secondsPerSync_ && elapsed.count() > 2 * *secondsPerSync_) {
        secondsPerSync_ = elapsed.count();
        return;
    }
    blend(secondsPerSync_, elapsed.count());
}

}  // namespace store
