#include "store/directory/IndexWriter.h"

#include <algorithm>
#include <utility>

namespace store {

using crashreports::Lock;

IndexWriter::IndexWriter(ReportIndex& index, std::chrono::seconds quiet, std::uint64_t logBound)
    : index_(index), quiet_(quiet), logBound_(logBound), thread_([this](const std::stop_token& stop) { run(stop); })
{
}

IndexWriter::~IndexWriter()
{
    close(Ending::Dropped);
    thread_.stop();
}

void IndexWriter::add(IndexEntry entry)
{
    const Lock lock(mutex_);
    if (!handingOver()) {
        handed_.emplace_back();
    }
    Handed& group = handed_.back();
    group.entries.push_back(std::move(entry));
    ++group.count;
    ++unrecorded_;
    if (group.entries.size() >= kPart) {
        wake_.notify_one();
    }
}

void IndexWriter::handedAll()
{
    {
        const Lock lock(mutex_);
        if (!handingOver()) {
            return;
        }
        handed_.back().all = true;
    }
    wake_.notify_one();
}

void IndexWriter::close(Ending ending)
{
    {
        const Lock lock(mutex_);
        if (handed_.empty() || handed_.back().ending != Ending::Open) {
            return;
        }
        Handed& group = handed_.back();
        group.ending = ending;
        if (ending == Ending::Dropped) {
            unrecorded_ -= group.count;
        }
    }
    wake_.notify_one();
}

std::size_t IndexWriter::unrecorded() const
{
    const Lock lock(mutex_);
    return unrecorded_;
}

std::vector<IndexWriter::Written> IndexWriter::take()
{
    const Lock lock(mutex_);
    if (failure_) {
        std::rethrow_exception(failure_);
    }
    for (const Written& group : written_) {
        unrecorded_ -= group.reports;
    }
    return std::exchange(written_, {});
}

void IndexWriter::wait()
{
    Lock lock(mutex_);
    done_.wait(lock, [this]() REQUIRES(mutex_) { return handed_.empty() || failure_; });
    if (failure_) {
        std::rethrow_exception(failure_);
    }
}

bool IndexWriter::idle() const
{
    const Lock lock(mutex_);
    return handed_.empty() && !failure_;
}

bool IndexWriter::handingOver() const
{
    return !handed_.empty() && !handed_.back().all && handed_.back().ending == Ending::Open;
}

bool IndexWriter::partReady() const
{
    if (handed_.empty()) {
        return false;
    }
    const Handed& group = handed_.front();
    return group.ending != Ending::Open || group.entries.size() >= kPart || (group.all && !group.entries.empty());
}

void IndexWriter::run(const std::stop_token& stop)
{
    try {
        writeGroups(stop);
    } catch (...) {
        // Out of memory, say: the store hears of it in take() or wait().
        adding_.reset();
        const Lock lock(mutex_);
        failure_ = std::current_exception();
        done_.notify_all();
    }
}

void IndexWriter::writeGroups(const std::stop_token& stop)
{
    // Two buffers take turns: the one the store fills, and the part taken.
    std::vector<IndexEntry> part;
    Lock lock(mutex_);
    for (;;) {
        // Once asked to stop, the groups closed before are written first.
        wake_.wait(lock, stop, [this]() REQUIRES(mutex_) { return partReady(); });
        if (!partReady()) {
            return;
        }
        part.swap(handed_.front().entries);
        const Ending ending = handed_.front().ending;
        lock.unlock();
        write(part, ending);
        lock.lock();
        if (ending != Ending::Open) {
            handed_.pop_front();
            failFast(ending);
            if (ending == Ending::Durable) {
                written_.push_back(std::move(writing_));
            }
            writing_ = {};
            done_.notify_all();
        }
    }
}

void IndexWriter::boundLog()
{
    if (index_.logBytes() <= logBound_) {
        return;
    }
    // A truncating checkpoint waits for no reader: one that holds the log
    // makes it fail at once, and the store hears how large the log is.
    if (!index_.checkpoint(true)) {
        writing_.logHeld = index_.logBytes();
    }
}

void IndexWriter::failFast(Ending ending)
{
    if (failing_ != 0) {
        --failing_;
    } else if (ending == Ending::Durable && writing_.error) {
        // The groups closed meanwhile fail with it rather than each wait as
        // long again, for a lock another process holds, say; the store
        // catches the index up later.
        failed_ = writing_.error;
        failing_ = static_cast<std::size_t>(std::count_if(
            handed_.begin(), handed_.end(), [](const Handed& group) { return group.ending != Ending::Open; }));
    }
}

void IndexWriter::write(std::vector<IndexEntry>& part, Ending ending)
{
    if (!writing_.error && failing_ != 0) {
        writing_.error = failed_;
    }
    if (!writing_.error && ending != Ending::Dropped) {
        try {
            if (!adding_) {
                adding_.emplace(index_, quiet_);
            }
            const std::vector<GroupEvent> events = adding_->add(part);
            for (std::size_t index = 0; index < part.size(); ++index) {
                if (events[index] != GroupEvent::None) {
                    const IndexEntry& entry = part[index];
                    writing_.news.push_back({events[index], entry.signature.id, entry.signature.title, entry.id,
                                             entry.sender.text()});
                }
            }
            if (ending == Ending::Durable) {
                adding_->commit();
                boundLog();
            }
        } catch (const sqlite::Error& error) {
            writing_.error = error;
            writing_.news.clear();
        }
    }
    writing_.reports += part.size();
    part.clear();
    if (ending != Ending::Open) {
        // What was not committed is rolled back.
        adding_.reset();
    }
}

}  // namespace store
