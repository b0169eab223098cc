#include "collector/StoreLoop.h"

#include "collector/BurstPolicy.h"
#include "collector/FrameDecoder.h"
#include "common/Plural.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

namespace collector {

namespace {

using crashreports::plural;

constexpr auto kIdleWait = std::chrono::seconds(1);
// The store's catching up goes in slices this long, between looks at the queue.
constexpr auto kCatchUpSlice = std::chrono::milliseconds(20);
// The status line and the metrics, together.
constexpr auto kStatusInterval = kMetricsEvery;

std::string bytes(std::uint64_t count)
{
    return plural(count, "byte");
}

Priority priorityOf(store::Notice::Level level)
{
    switch (level) {
    case store::Notice::Level::Error: return Priority::Error;
    case store::Notice::Level::Warning: return Priority::Warning;
    case store::Notice::Level::Info: break;
    }
    return Priority::Info;
}

// The name of the user the collector runs as, for the decisions it takes.
std::string userName()
{
    const passwd* user = ::getpwuid(::geteuid());
    return user != nullptr ? user->pw_name : std::to_string(::geteuid());
}

}  // namespace

StoreLoop::StoreLoop(const Options& options, FrameQueue& queue, store::ReportStore& store,
                     const triage::SkipRules& rules, Counters& counters, LogSink& log, ServiceManager& service,
                     Notifier& notifier, PageKeeper* page, MetricsFile* metrics)
    : options_(options),
      queue_(queue),
      store_(store),
      rules_(rules),
      counters_(counters),
      log_(log),
      service_(service),
      notifier_(notifier),
      page_(page),
      metrics_(metrics),
      decisions_(store, userName())
{
}

bool StoreLoop::waitForFrames()
{
    // Frames come first: the store catches up only while none wait.
    while (!queue_.waitForFrames(std::chrono::milliseconds(0)) && !queue_.closed()) {
        const bool more = store_.catchUp(kCatchUpSlice);
        drainOutbox(store::Settle::No);
        if (more && page_ != nullptr) {
            // The index changed: the page shows it.
            page_->changed();
        }
        if (!more) {
            return queue_.waitForFrames(service_.keepAliveInterval(kIdleWait));
        }
        service_.keepAlive();
    }
    return queue_.frameCount() != 0;
}

std::size_t StoreLoop::wanted() const
{
    if (!options_.count) {
        return BurstPolicy::kBatchFrames;
    }
    const std::uint64_t left = *options_.count - std::min(*options_.count, counters_.stored.load());
    return static_cast<std::size_t>(std::min<std::uint64_t>(left, BurstPolicy::kBatchFrames));
}

void StoreLoop::run()
{
    std::optional<std::chrono::steady_clock::time_point> deadline;
    while (wanted() != 0 && !(queue_.closedAndEmpty() && taken_.empty() && group_.empty())) {
        if (!deadline && queue_.closed()) {
            deadline = std::chrono::steady_clock::now() + kStopTime;
        }
        if (deadline && std::chrono::steady_clock::now() >= *deadline) {
            break;
        }
        if (!store_.ready()) {
            waitForStore();
        } else if (!taken_.empty() || !group_.empty()) {
            storeTaken();
        } else if (waitForFrames()) {
            holdBackWhileBursting(queue_);
            taken_ = queue_.take(wanted(), BurstPolicy::kBatchBytes);
            storeTaken();
        }
        heartbeat();
    }
    counters_.unstored += taken_.size() + group_.size();
    drainOutbox(store::Settle::Yes);
    if (page_ != nullptr) {
        page_->changed();
    }
}

void StoreLoop::waitForStore()
{
    drainOutbox(store::Settle::No);
    std::this_thread::sleep_for(kStoreWait);
    service_.keepAlive();
}

bool StoreLoop::groupFull() const
{
    const store::StagingLimits limits = store_.stagingLimits();
    return groupBytes_ >= limits.bytes || group_.size() >= limits.reports;
}

void StoreLoop::storeTaken()
{
    store_.prepareBatch();
    if (groupFull()) {
        commit();
    }
    std::size_t next = 0;
    for (; next < taken_.size() && !groupFull() && store_.ready(); ++next) {
        holdBackWhileBursting(queue_);
        storeFrame(taken_[next]);
        if (groupFull()) {
            commit();
        }
        // What was stored before may be recorded by now.
        drainOutbox(store::Settle::No);
    }
    taken_.erase(taken_.begin(), taken_.begin() + static_cast<std::ptrdiff_t>(next));
    if (taken_.empty()) {
        commit();
        drainOutbox(store::Settle::No);
    }
    if (page_ != nullptr) {
        page_->changed();
    }
    logRemoved();
}

void StoreLoop::logRemoved()
{
    if (removedReports_ != 0) {
        log_.limited(Priority::Info, [&] {
            return "removed " + plural(removedReports_, "old report") + " (" + bytes(removedBytes_)
                + ") to keep within the disk budget";
        });
        removedReports_ = 0;
        removedBytes_ = 0;
    }
}

void StoreLoop::countRemoved(std::uint64_t reports, std::uint64_t bytes)
{
    counters_.removed += reports;
    removedReports_ += reports;
    removedBytes_ += bytes;
}

void StoreLoop::storeFrame(Frame& frame)
{
    const Decoded decoded = decodeFrame(frame.bytes, options_.maxReportSize);
    frame.bytes = {};
    if (!decoded.valid()) {
        ++counters_.rejected;
        log_.limited(Priority::Warning, [&] { return "rejected " + frame.sender.text() + ": " + decoded.reason; });
        return;
    }
    const store::ReportInfo info{frame.sender, frame.received, triage::computeSignature(decoded.report.bytes(), rules_)};
    if (!makeRoom(info, decoded.report.size())) {
        return;
    }
    store::StageResult staged = store_.stage(decoded.report.bytes(), info);
    if (staged.outOfDescriptors && !group_.empty()) {
        // The group's files hold the descriptors that this one needs.
        commit();
        staged = store_.stage(decoded.report.bytes(), info);
    }
    if (!staged.pending) {
        ++counters_.failedToStore;
        log_.limited(Priority::Error,
                     [&] { return "can't store report from " + frame.sender.text() + ": " + staged.error; });
        return;
    }
    groupBytes_ += staged.pending->size;
    group_.push_back(std::move(*staged.pending));
}

bool StoreLoop::makeRoom(const store::ReportInfo& info, std::uint64_t reportSize)
{
    store::Room room = store_.makeRoom(reportSize, info);
    if (!room.fits && !group_.empty()) {
        // The reports being stored can't make room until they are stored.
        commit();
        room = store_.makeRoom(reportSize, info);
    }
    for (const auto& error : room.errors) {
        log_.limited(Priority::Error, error);
    }
    countRemoved(room.removedReports, room.removedBytes);
    if (!room.fits) {
        ++counters_.refusedBudget;
        log_.limited(Priority::Warning,
                     [&] { return "refused report from " + info.sender.text() + ": " + room.refusal; });
    }
    return room.fits;
}

void StoreLoop::commit()
{
    if (group_.empty()) {
        return;
    }
    const std::vector<store::CommitResult> results = store_.commit(group_);
    std::vector<store::PendingReport> kept;
    for (std::size_t index = 0; index < group_.size(); ++index) {
        store::PendingReport& report = group_[index];
        const store::CommitResult& result = results[index];
        countRemoved(result.removedReports, result.removedBytes);
        if (result.retry) {
            kept.push_back(std::move(report));
        } else if (!result.stored()) {
            ++counters_.failedToStore;
            log_.limited(Priority::Error,
                         [&] { return "can't store report from " + report.info.sender.text() + ": " + result.error; });
        } else {
            ++counters_.stored;
            unannounced_.push_back({result.name, report.size, std::move(report.info)});
        }
    }
    group_ = std::move(kept);
    groupBytes_ = 0;
    for (const auto& report : group_) {
        groupBytes_ += report.size;
    }
}

void StoreLoop::drainOutbox(store::Settle settle)
{
    decisions_.refresh(std::chrono::steady_clock::now());
    store::Outbox outbox = store_.drainOutbox(settle);
    counters_.removed += outbox.removedReports;
    announceRecorded(outbox.unrecorded);
    logNotices(outbox.notices);
    tellNews(outbox.news);
}

void StoreLoop::announceRecorded(std::size_t unrecorded)
{
    for (; unannounced_.size() > unrecorded; unannounced_.pop_front()) {
        announce(unannounced_.front());
    }
}

void StoreLoop::announce(const Stored& report)
{
    const triage::Signature& signature = report.info.signature;
    log_.out(Priority::Info, "stored " + store_.locationOf(report.name) + " (" + bytes(report.size) + " from "
                                 + report.info.sender.text() + ") in group " + signature.id + ": " + signature.title);
    if (auto news = decisions_.regression(report.name, report.info)) {
        notifier_.tell(std::move(*news));
    }
}

void StoreLoop::logNotices(const std::vector<store::Notice>& notices)
{
    for (const auto& notice : notices) {
        log_.limited(priorityOf(notice.level), notice.line);
    }
}

void StoreLoop::tellNews(std::vector<store::GroupNews>& news)
{
    const auto now = std::chrono::system_clock::now();
    for (auto& piece : news) {
        if (auto judged = decisions_.judge(std::move(piece), now)) {
            notifier_.tell(std::move(*judged));
        }
    }
}

void StoreLoop::heartbeat()
{
    service_.keepAlive();
    const auto now = std::chrono::steady_clock::now();
    if (now - lastStatus_ >= kStatusInterval) {
        lastStatus_ = now;
        service_.status(formatSummary(counters_, log_.dropped()));
        if (metrics_ != nullptr) {
            metrics_->write(counters_, log_.dropped(), notifier_.figures(), store_.figures());
        }
    }
}

}  // namespace collector
