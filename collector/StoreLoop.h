#pragma once

// The storing side: takes the frames at hand from the queue, decodes them,
// has the store make room and stage each, commits them as one group, then
// announces each stored report once the store has recorded it (a directory
// store indexes a group on a thread while the next is stored), and tells
// the news of its group after it. While the store can't take reports (a
// database that can't be reached), it takes no frames, and keeps what it had
// staged and taken until the store is back. It also keeps the service
// manager told that it is alive and how it is doing.

#include "collector/Counters.h"
#include "collector/DecisionNews.h"
#include "collector/FrameQueue.h"
#include "collector/LogSink.h"
#include "collector/Metrics.h"
#include "collector/Notifier.h"
#include "collector/Options.h"
#include "collector/PageKeeper.h"
#include "collector/ServiceManager.h"
#include "signature/SkipRules.h"
#include "store/ReportStore.h"

#include <chrono>
#include <deque>
#include <vector>

namespace collector {

class StoreLoop {
public:
    StoreLoop(const Options& options, FrameQueue& queue, store::ReportStore& store, const triage::SkipRules& rules,
              Counters& counters, LogSink& log, ServiceManager& service, Notifier& notifier, PageKeeper* page,
              MetricsFile* metrics);

    // Stores until the queue is closed and empty, or --count reports are
    // stored. Once the queue is closed, it stores for kStopTime at most;
    // what is left then is counted as unstored.
    void run();

    static constexpr auto kStopTime = std::chrono::seconds(5);

    // How often a store that is not ready is asked again.
    static constexpr auto kStoreWait = std::chrono::milliseconds(100);

private:
    // Stages the frames taken, committing as groups fill, while the store
    // is ready; those left wait for it.
    void storeTaken();
    // Whether the group staged is as large as the store commits at once.
    bool groupFull() const;
    void storeFrame(Frame& frame);
    bool makeRoom(const store::ReportInfo& info, std::uint64_t reportSize);
    // Commits the group staged; the reports the store can't take now stay
    // in it.
    void commit();
    void countRemoved(std::uint64_t reports, std::uint64_t bytes);
    void logRemoved();
    // Waits a while for the store to be ready, telling systemd that the
    // collector is alive meanwhile.
    void waitForStore();
    // A stored report, until it is announced.
    struct Stored {
        std::string name;
        std::uint64_t size = 0;
        store::ReportInfo info;
    };
    // Takes what the store has for the loop: announces the stored reports
    // that it has recorded, in order, writes its notices and tells its news.
    void drainOutbox(store::Settle settle);
    void announceRecorded(std::size_t unrecorded);
    void announce(const Stored& report);
    void logNotices(const std::vector<store::Notice>& notices);
    void tellNews(std::vector<store::GroupNews>& news);
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
    MetricsFile* metrics_;  // none without --metrics
    DecisionNews decisions_;
    std::uint64_t removedReports_ = 0;  // in this batch
    std::uint64_t removedBytes_ = 0;
    std::chrono::steady_clock::time_point lastStatus_{};
    // Frames taken from the queue and not yet staged.
    std::vector<Frame> taken_;
    // Reports staged and not yet committed, and their bytes.
    std::vector<store::PendingReport> group_;
    std::uint64_t groupBytes_ = 0;
    // Reports stored and not yet announced, in the order they were stored.
    std::deque<Stored> unannounced_;
};

}  // namespace collector
