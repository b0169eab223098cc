#pragma once

// The collector as a whole: the socket (its own, or systemd's), a receiving
// thread that queues frames, and the storing loop on the calling thread, until
// SIGINT, SIGTERM or SIGHUP, or until it has stored the reports it was asked
// for.

#include "collector/Admission.h"
#include "collector/Counters.h"
#include "collector/FrameQueue.h"
#include "collector/LogSink.h"
#include "collector/Metrics.h"
#include "collector/Notifier.h"
#include "collector/Options.h"
#include "collector/PageKeeper.h"
#include "collector/ServiceManager.h"
#include "common/UniqueFd.h"
#include "signature/SkipRules.h"
#include "store/ReportStore.h"

#include <memory>

namespace collector {

using crashreports::UniqueFd;

class Collector {
public:
    // Takes SIGINT, SIGTERM and SIGHUP for its own, binds the socket (or takes the
    // one systemd passed), then readies the store. Throws StartupError with
    // the line to print if any of it can't be had.
    Collector(const Options& options, LogSink& log, ServiceManager& service);

    // Serves until stopped; what was stored is stored, what was queued and
    // not stored in time is counted. The receiving thread is stopped and
    // joined whichever way storing ends. Throws StartupError if receiving
    // can't start.
    void run();
    const Counters& counters() const { return counters_; }

private:
    Options options_;
    LogSink& log_;
    ServiceManager& service_;
    UniqueFd signals_;
    bool socketPassed_ = false;  // by systemd
    UniqueFd socket_;
    triage::SkipRules rules_;
    std::atomic<std::uint64_t> siteDisk_{0};  // the page's, on the store's filesystem
    std::unique_ptr<store::ReportStore> store_;
    Notifier notifier_;
    std::optional<PageKeeper> page_;
    std::optional<MetricsFile> metrics_;
    Admission admission_;
    FrameQueue queue_;
    Counters counters_;
    UniqueFd stop_;
};

}  // namespace collector
