#include "collector/PageKeeper.h"

#include "page/Site.h"
#include "store/OpenStore.h"

#include <sys/stat.h>

namespace collector {

PageKeeper::PageKeeper(store::StoreName store, std::filesystem::path directory,
                       std::chrono::seconds regressedAfter, std::atomic<std::uint64_t>& siteDisk, LogSink& log)
    : store_(std::move(store)),
      directory_(std::move(directory)),
      regressedAfter_(regressedAfter),
      siteDisk_(siteDisk),
      log_(log),
      thread_([this](const std::stop_token& stop) { run(stop); })
{
}

PageKeeper::~PageKeeper()
{
    stop();
}

void PageKeeper::stop()
{
    thread_.stop();
}

void PageKeeper::changed()
{
    {
        const crashreports::Lock lock(mutex_);
        if (changed_) {
            return;
        }
        changed_ = true;
    }
    wake_.notify_all();
}

void PageKeeper::run(const std::stop_token& stop)
{
    crashreports::Lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, stop, [this]() REQUIRES(mutex_) { return changed_; });
        if (changed_) {
            changed_ = false;
            lock.unlock();
            write();
            lock.lock();
        }
        if (stop.stop_requested()) {
            return;
        }
        // At most once every kEvery, however often the store changes.
        wake_.wait_for(lock, stop, kEvery, [] { return false; });
    }
}

void PageKeeper::write()
{
    try {
        const auto catalog = store::openCatalog(store_);
        triage::writePage(*catalog, directory_, std::chrono::system_clock::now(), regressedAfter_);
        siteDisk_ = diskOnStoresFilesystem();
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

std::uint64_t PageKeeper::diskOnStoresFilesystem() const
{
    struct stat site {};
    struct stat store {};
    if (store_.isDatabase() || ::stat(directory_.c_str(), &site) != 0 || ::stat(store_.text().c_str(), &store) != 0
        || site.st_dev != store.st_dev) {
        return 0;
    }
    std::uint64_t disk = 0;
    std::error_code error;
    for (auto entry = std::filesystem::recursive_directory_iterator(directory_, error);
         !error && entry != std::filesystem::recursive_directory_iterator(); entry.increment(error)) {
        struct stat status {};
        if (::lstat(entry->path().c_str(), &status) == 0) {
            disk += static_cast<std::uint64_t>(status.st_blocks) * 512;
        }
    }
    return disk;
}

}  // namespace collector
