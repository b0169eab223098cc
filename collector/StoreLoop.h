#pragma once

// The storing side: takes the frames at hand from the queue, decodes them,
// has the store make room and stage each, commits them as one group, then
// announces each stored report. It also keeps the service manager told that
// it is alive and how it is doing.

#include "Counters.h"
#include "FrameQueue.h"
#include "LogSink.h"
#include "Notifier.h"
#include "Options.h"
#include "PageKeeper.h"
#include "ReportStore.h"
#include "ServiceManager.h"
#include "SkipRules.h"

#include <chrono>
#include <vector>

namespace collector {

class StoreLoop {
public:
    StoreLoop(const Options& options, FrameQueue& queue, store::ReportStore& store, const triage::SkipRules& rules,
              Counters& counters, LogSink& log, ServiceManager& service, Notifier& notifier, PageKeeper* page);

    // Stores until the queue is closed and empty, or --count reports are
    // stored. Once the queue is closed, it stores for kStopTime at most.
    void run();

    static constexpr auto kStopTime = std::chrono::seconds(5);

private:
    void storeBatch(std::vector<Frame> batch);
    void storeFrame(Frame& frame);
    bool makeRoom(const store::ReportInfo& info, std::uint64_t reportSize);
    void commit();
    void announce(const store::PendingReport& report, const store::CommitResult& result);
    void prepareBatch();
    void logNotices();
    // Waits for frames, doing the store's catching up meanwhile.
    bool waitForFrames();
    void heartbeat();
    std::size_t wanted() const;

    const Options& options_;
    FrameQueue& queue_;
    store::ReportStore& store_;
    const triage::SkipRules& rules_;
    Counters& counters_;
    LogSink& log_;
    ServiceManager& service_;
    Notifier& notifier_;
    PageKeeper* page_;  // none when no page is kept
    std::uint64_t removedReports_ = 0;  // in this batch
    std::uint64_t removedBytes_ = 0;
    std::chrono::steady_clock::time_point lastStatus_{};
    // Reports staged and not yet committed, and their bytes.
    std::vector<store::PendingReport> group_;
    std::uint64_t groupBytes_ = 0;
};

}  // namespace collector
