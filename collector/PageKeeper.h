#pragma once

// Keeps the triage page of the store current: after reports were stored or
// removed, it writes the page again from the store's catalog, at most once
// every kEvery and on a thread of its own, so that storing never waits for
// it. A page that can't be written is a line; the next change tries again.

#include "collector/LogSink.h"
#include "store/StoreName.h"

#include "common/Mutex.h"
#include "common/WorkerThread.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <filesystem>
#include <stop_token>
#include <string>

namespace collector {

class PageKeeper {
public:
    static constexpr auto kEvery = std::chrono::seconds(5);

    // Writes the page of `store` into `directory` now, and again after
    // changes, marking the groups that came back after `regressedAfter`.
    // What the site takes on disk, where it shares the store's filesystem
    // (and so its budget), is kept in `siteDisk` after each write.
    PageKeeper(store::StoreName store, std::filesystem::path directory, std::chrono::seconds regressedAfter,
               std::atomic<std::uint64_t>& siteDisk, LogSink& log);
    PageKeeper(const PageKeeper&) = delete;
    PageKeeper& operator=(const PageKeeper&) = delete;
    ~PageKeeper();

    // Writes the page once more if it changed since, then stops; its lines
    // are out when it returns. Again, it does nothing.
    void stop();

    // The store changed; never waits.
    void changed();

private:
    void run(const std::stop_token& stop);
    void write();
    // What the site takes, if it is on the store's filesystem; else 0.
    std::uint64_t diskOnStoresFilesystem() const;

    const store::StoreName store_;
    const std::filesystem::path directory_;
    const std::chrono::seconds regressedAfter_;  // the collector's, for the page's marks
    std::atomic<std::uint64_t>& siteDisk_;
    LogSink& log_;
    crashreports::Mutex mutex_;
    std::condition_variable_any wake_;
    bool changed_ GUARDED_BY(mutex_) = true;
    bool failing_ = false;  // the thread's own: the last write failed, said once until it works again
    crashreports::WorkerThread thread_;  // last: it starts once the rest is made
};

}  // namespace collector
