#include "store/directory/IndexWriter.h"

#include <algorithm>
#include <utility>

namespace store {

IndexWriter::IndexWriter(ReportIndex& index, std::chrono::seconds quiet)
    : index_(index), quiet_(quiet), thread_([this] { run(); })
{
}

IndexWriter::~IndexWriter()
{
    close(false);
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void IndexWriter::add(IndexEntry entry)
{
    const std::lock_guard lock(mutex_);
    if (!handingOver()) {
        handed_.emplace_back();
    }
    Handed& group = handed_.back();
    group.entries.push_back(std::move(entry));
    ++group.count;
    ++recording_;
    if (group.entries.size() >= kPart) {
        wake_.notify_one();
    }
}

void IndexWriter::handedAll()
{
    {
        const std::lock_guard lock(mutex_);
        if (!handingOver()) {
            return;
        }
        handed_.back().all = true;
    }
    wake_.notify_one();
}

void IndexWriter::close(bool durable)
{
    {
        const std::lock_guard lock(mutex_);
        if (handed_.empty() || handed_.back().durable) {
            return;
        }
        Handed& group = handed_.back();
        group.durable = durable;
        if (!durable) {
            recording_ -= group.count;
        }
    }
    wake_.notify_one();
}

std::size_t IndexWriter::recording() const
{
    const std::lock_guard lock(mutex_);
    return recording_;
}

std::vector<IndexWriter::Written> IndexWriter::take()
{
    const std::lock_guard lock(mutex_);
    if (failure_) {
        std::rethrow_exception(failure_);
    }
    for (const Written& group : written_) {
        recording_ -= group.reports;
    }
    return std::exchange(written_, {});
}

void IndexWriter::wait()
{
    std::unique_lock lock(mutex_);
    done_.wait(lock, [this] { return handed_.empty() || failure_; });
    if (failure_) {
        std::rethrow_exception(failure_);
    }
}

bool IndexWriter::idle() const
{
    const std::lock_guard lock(mutex_);
    return handed_.empty() && !failure_;
}

bool IndexWriter::handingOver() const
{
    return !handed_.empty() && !handed_.back().all && !handed_.back().durable;
}

bool IndexWriter::partReady() const
{
    if (handed_.empty()) {
        return false;
    }
    const Handed& group = handed_.front();
    return group.durable || group.entries.size() >= kPart || (group.all && !group.entries.empty());
}

void IndexWriter::run()
{
    try {
        writeGroups();
    } catch (...) {
        // Out of memory, say: the store hears of it in take() or wait().
        adding_.reset();
        const std::lock_guard lock(mutex_);
        failure_ = std::current_exception();
        done_.notify_all();
    }
}

void IndexWriter::writeGroups()
{
    // Two buffers take turns: the one the store fills, and the part taken.
    std::vector<IndexEntry> part;
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return partReady() || (stopping_ && handed_.empty()); });
        if (handed_.empty()) {
            return;
        }
        part.swap(handed_.front().entries);
        const std::optional<bool> closed = handed_.front().durable;
        lock.unlock();
        write(part, closed);
        lock.lock();
        if (closed) {
            handed_.pop_front();
            failFast(*closed);
            if (*closed) {
                written_.push_back(std::move(writing_));
            }
            writing_ = {};
            done_.notify_all();
        }
    }
}

void IndexWriter::failFast(bool durable)
{
    if (failing_ != 0) {
        --failing_;
    } else if (durable && writing_.error) {
        // The groups closed meanwhile fail with it rather than each wait as
        // long again, for a lock another process holds, say; the store
        // catches the index up later.
        failed_ = writing_.error;
        failing_ = static_cast<std::size_t>(
            std::count_if(handed_.begin(), handed_.end(), [](const Handed& group) { return group.durable.has_value(); }));
    }
}

void IndexWriter::write(std::vector<IndexEntry>& part, std::optional<bool> closed)
{
    if (!writing_.error && failing_ != 0) {
        writing_.error = failed_;
    }
    if (!writing_.error && closed != false) {
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
            if (closed) {
                adding_->commit();
            }
        } catch (const sqlite::Error& error) {
            writing_.error = error;
            writing_.news.clear();
        }
    }
    writing_.reports += part.size();
    part.clear();
    if (closed) {
        // What was not committed is rolled back.
        adding_.reset();
    }
}

}  // namespace store
