#include "collector/PageKeeper.h"

#include "page/Site.h"
#include "store/OpenStore.h"

#include <signal.h>

namespace collector {

PageKeeper::PageKeeper(store::StoreName store, std::filesystem::path directory, LogSink& log)
    : store_(std::move(store)), directory_(std::move(directory)), log_(log), thread_([this] { run(); })
{
}

PageKeeper::~PageKeeper()
{
    stop();
}

void PageKeeper::stop()
{
    if (!thread_.joinable()) {
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void PageKeeper::changed()
{
    {
        const std::lock_guard lock(mutex_);
        if (changed_) {
            return;
        }
        changed_ = true;
    }
    wake_.notify_all();
}

void PageKeeper::run()
{
    // Signals are for the threads that serve.
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return changed_ || stopping_; });
        if (changed_) {
            changed_ = false;
            lock.unlock();
            write();
            lock.lock();
        }
        if (stopping_) {
            return;
        }
        // At most once every kEvery, however often the store changes.
        wake_.wait_for(lock, kEvery, [this] { return stopping_; });
    }
}

void PageKeeper::write()
{
    try {
        const auto catalog = store::openCatalog(store_);
        triage::writePage(*catalog, directory_, std::chrono::system_clock::now());
        if (failing_) {
            log_.err(Priority::Info, "wrote the page " + directory_.string() + " again");
        }
        failing_ = false;
    } catch (const std::exception& error) {
        if (!failing_) {
            log_.err(Priority::Error, "can't write the page " + directory_.string() + ": " + error.what());
        }
        failing_ = true;
    }
}

}  // namespace collector
