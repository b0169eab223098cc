#include "StoreLoop.h"

#include "FrameDecoder.h"

#include <sys/resource.h>
#include <sys/statvfs.h>

#include <algorithm>

namespace collector {

namespace {

// A batch is what the queue holds at the moment, up to these bounds. Larger
// groups share a sync among more reports: 1024 small reports are stored about
// twice as fast as 4 groups of 256.
constexpr std::size_t kBatchFrames = 1024;
constexpr std::size_t kBatchBytes = 4 << 20;
// Reports written before they are synced together, so that a batch of large
// reports is not all held back until the end.
constexpr std::uint64_t kGroupBytes = 64 << 20;
constexpr auto kIdleWait = std::chrono::seconds(1);
// Descriptors kept for everything but the temporaries of a group.
constexpr std::size_t kOtherFiles = 64;
constexpr auto kStatusInterval = std::chrono::seconds(5);

std::string bytes(std::uint64_t count)
{
    return plural(count, "byte");
}

// A group keeps a file open for each report until it is synced: as many as
// the open file limit leaves room for, after trying to raise it to its most.
std::size_t mostFilesInAGroup()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return kBatchFrames / 4;
    }
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t room = limit.rlim_cur > 2 * kOtherFiles ? limit.rlim_cur - kOtherFiles : kOtherFiles;
    return static_cast<std::size_t>(std::min<rlim_t>(kBatchFrames, room));
}

}  // namespace

void countReports(const ReportStore& store, DiskBudget& budget)
{
    budget.clear();
    for (const auto& report : store.listReports()) {
        budget.add(report.name, reportSenderAddress(report.name).value_or(""), report.bytes);
    }
}

StoreLoop::StoreLoop(const Options& options, FrameQueue& queue, ReportStore& store, DiskBudget& budget,
                     Counters& counters, LogSink& log, ServiceManager& service)
    : options_(options),
      queue_(queue),
      store_(store),
      budget_(budget),
      counters_(counters),
      log_(log),
      service_(service),
      mostGroupFiles_(mostFilesInAGroup())
{
}

std::size_t StoreLoop::wanted() const
{
    if (!options_.count) {
        return kBatchFrames;
    }
    const std::uint64_t left = *options_.count - std::min(*options_.count, counters_.stored.load());
    return static_cast<std::size_t>(std::min<std::uint64_t>(left, kBatchFrames));
}

void StoreLoop::run()
{
    std::optional<std::chrono::steady_clock::time_point> deadline;
    while (wanted() != 0 && !queue_.closedAndEmpty()) {
        if (!deadline && queue_.closed()) {
            deadline = std::chrono::steady_clock::now() + kStopTime;
        }
        if (deadline && std::chrono::steady_clock::now() >= *deadline) {
            break;
        }
        storeBatch(queue_.take(wanted(), kBatchBytes, service_.keepAliveInterval(kIdleWait)));
        heartbeat();
    }
}

void StoreLoop::storeBatch(std::vector<Frame> batch)
{
    if (batch.empty()) {
        return;
    }
    checkDirectory();
    if (budget_.limits().keepFree != 0) {
        struct statvfs filesystem {};
        if (::fstatvfs(store_.directoryFd(), &filesystem) == 0) {
            budget_.measureFree(std::uint64_t{filesystem.f_bavail} * filesystem.f_frsize);
        }
    }
    for (auto& frame : batch) {
        queue_.holdBack();
        storeFrame(frame);
        if (groupBytes_ >= kGroupBytes || group_.size() >= mostGroupFiles_) {
            commit();
        }
    }
    commit();
    if (removedReports_ != 0) {
        log_.limited(Priority::Info, "removed " + plural(removedReports_, "old report") + " (" + bytes(removedBytes_)
                                         + ") to keep within the disk budget");
        removedReports_ = 0;
        removedBytes_ = 0;
    }
}

void StoreLoop::storeFrame(Frame& frame)
{
    const Decoded decoded = decodeFrame(frame.bytes, options_.maxReportSize);
    frame.bytes = {};
    if (!decoded.valid()) {
        ++counters_.rejected;
        log_.limited(Priority::Warning, "rejected " + frame.sender.endpoint() + ": " + decoded.reason);
        return;
    }
    if (!makeRoom(frame, decoded.report.size())) {
        return;
    }
    WriteResult written = store_.write(decoded.report.bytes(), frame.sender, frame.received);
    if (!written.pending) {
        budget_.release(decoded.report.size());
        ++counters_.failedToStore;
        log_.limited(Priority::Error, "can't store report from " + frame.sender.endpoint() + ": " + written.error);
        return;
    }
    groupBytes_ += written.pending->size;
    group_.push_back(std::move(*written.pending));
}

bool StoreLoop::makeRoom(const Frame& frame, std::uint64_t reportSize)
{
    DiskBudget::Room room = budget_.makeRoom(reportSize);
    if (!room.fits && !group_.empty()) {
        // The reports being stored can't make room until they are stored.
        commit();
        room = budget_.makeRoom(reportSize);
    }
    if (!room.fits) {
        ++counters_.refusedBudget;
        log_.limited(Priority::Warning, "refused report from " + frame.sender.endpoint() + ": " + bytes(reportSize)
                                            + " can't fit the disk budget (max use "
                                            + std::to_string(budget_.limits().maxUse) + ", keep free "
                                            + std::to_string(budget_.limits().keepFree) + ")");
        return false;
    }
    for (const auto& removal : room.removals) {
        if (const std::string error = store_.remove(removal.name); !error.empty()) {
            log_.limited(Priority::Error, error);
            continue;
        }
        ++counters_.removed;
        ++removedReports_;
        removedBytes_ += removal.bytes;
    }
    return true;
}

void StoreLoop::commit()
{
    const std::vector<CommitResult> results = store_.commit(group_);
    for (std::size_t index = 0; index < group_.size(); ++index) {
        const PendingReport& report = group_[index];
        const CommitResult& result = results[index];
        if (result.name) {
            budget_.settle(*result.name, report.sender.addressText(), report.size);
        } else {
            budget_.release(report.size);
        }
        if (!result.stored()) {
            ++counters_.failedToStore;
            log_.limited(Priority::Error, "can't store report from " + report.sender.endpoint() + ": " + result.error);
            continue;
        }
        ++counters_.stored;
        log_.out(Priority::Info, "stored " + (store_.directory() / *result.name).string() + " (" + bytes(report.size)
                                     + " from " + report.sender.endpoint() + ")");
    }
    group_.clear();
    groupBytes_ = 0;
}

void StoreLoop::checkDirectory()
{
    const ReportStore::Reopening reopening = store_.reopenIfReplaced();
    if (reopening.line.empty()) {
        return;
    }
    log_.limited(reopening.reopened ? Priority::Warning : Priority::Error, reopening.line);
    if (reopening.reopened) {
        countReports(store_, budget_);
    }
}

void StoreLoop::heartbeat()
{
    service_.keepAlive();
    const auto now = std::chrono::steady_clock::now();
    if (now - lastStatus_ >= kStatusInterval) {
        lastStatus_ = now;
        service_.status(formatSummary(counters_, log_.dropped()));
    }
}

}  // namespace collector
