#include "LogSink.h"

#include "Plural.h"
#include "UniqueFd.h"

#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>

namespace collector {

namespace {

using crashreports::plural;
using crashreports::UniqueFd;

// What one stream may hold back before its lines are dropped.
constexpr std::size_t kBacklogBytes = 1 << 20;
// A pipe that polls writable takes this much without blocking.
constexpr std::size_t kWriteChunk = PIPE_BUF;
constexpr auto kDrainOnExit = std::chrono::seconds(2);

// Whether `fd` is the stream that JOURNAL_STREAM names ("device:inode").
bool isJournal(int fd)
{
    const char* named = std::getenv("JOURNAL_STREAM");
    struct stat status {};
    if (named == nullptr || ::fstat(fd, &status) != 0) {
        return false;
    }
    return std::string(named) == std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
}

}  // namespace

struct LogSink::State {
    struct Stream {
        int fd = -1;
        bool journal = false;
        std::string pending;
    };

    std::mutex mutex;
    std::condition_variable drained;
    std::array<Stream, 2> streams;  // standard output, standard error
    LineRateLimiter limiter{kLimitedPerSecond};
    UniqueFd wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    std::uint64_t dropped = 0;
    bool stopping = false;
    bool finished = false;

    // Queues one line; the caller holds the mutex.
    void append(Stream& stream, Priority priority, std::string_view line)
    {
        const std::size_t prefix = stream.journal ? 3 : 0;
        if (stream.pending.size() + prefix + line.size() + 1 > kBacklogBytes) {
            ++dropped;
            return;
        }
        const bool wasIdle = stream.pending.empty();
        if (stream.journal) {
            stream.pending += '<';
            stream.pending += static_cast<char>('0' + static_cast<int>(priority));
            stream.pending += '>';
        }
        stream.pending.append(line);
        stream.pending += '\n';
        if (wasIdle) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto ignored = ::write(wake.get(), &one, sizeof one);
        }
    }

    void appendSuppressed(std::uint64_t count)
    {
        if (count != 0) {
            append(streams[1], Priority::Warning,
                   "suppressed " + plural(count, "log line") + " in the last second");
        }
    }

    bool idle() const
    {
        return streams[0].pending.empty() && streams[1].pending.empty();
    }

    // Writes what `stream` can take now without blocking.
    void writeSome(Stream& stream, std::unique_lock<std::mutex>& lock)
    {
        const std::string chunk = stream.pending.substr(0, kWriteChunk);
        lock.unlock();
        const ssize_t written = ::write(stream.fd, chunk.data(), chunk.size());
        const int error = errno;
        lock.lock();
        if (written > 0) {
            stream.pending.erase(0, static_cast<std::size_t>(written));
        } else if (written < 0 && error != EAGAIN && error != EINTR) {
            // The stream is broken (a closed reader, a full disk): what it
            // holds is dropped, and so will later lines be, one by one.
            dropped += static_cast<std::uint64_t>(std::ranges::count(stream.pending, '\n'));
            stream.pending.clear();
        }
    }

    void run()
    {
        // Signals are for the threads that serve.
        sigset_t all;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
        std::unique_lock lock(mutex);
        for (;;) {
            appendSuppressed(limiter.takeSuppressed(LineRateLimiter::Clock::now()));
            if (idle()) {
                drained.notify_all();
                if (stopping) {
                    break;
                }
            }
            std::array<pollfd, 3> watched{};
            watched[0] = {wake.get(), POLLIN, 0};
            for (std::size_t index = 0; index < streams.size(); ++index) {
                const bool waiting = !streams[index].pending.empty();
                watched[index + 1] = {waiting ? streams[index].fd : -1, POLLOUT, 0};
            }
            const int timeout = limiter.holdsSuppressed() ? 1000 : -1;
            lock.unlock();
            ::poll(watched.data(), watched.size(), timeout);
            if (watched[0].revents != 0) {
                std::uint64_t count = 0;
                [[maybe_unused]] const auto ignored = ::read(wake.get(), &count, sizeof count);
            }
            lock.lock();
            for (std::size_t index = 0; index < streams.size(); ++index) {
                if (watched[index + 1].revents != 0 && !streams[index].pending.empty()) {
                    writeSome(streams[index], lock);
                }
            }
        }
        finished = true;
        drained.notify_all();
    }
};

LogSink::LogSink(int outFd, int errFd) : state_(std::make_shared<State>())
{
    state_->streams[0] = {outFd, isJournal(outFd), {}};
    state_->streams[1] = {errFd, isJournal(errFd), {}};
    // The thread shares the state, so that it may outlive the sink when a
    // stream blocks it at exit.
    writer_ = std::thread([state = state_] { state->run(); });
}

LogSink::~LogSink()
{
    std::unique_lock lock(state_->mutex);
    state_->appendSuppressed(state_->limiter.takeAllSuppressed());
    state_->stopping = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto ignored = ::write(state_->wake.get(), &one, sizeof one);
    const bool finished = state_->drained.wait_for(lock, kDrainOnExit, [this] { return state_->finished; });
    lock.unlock();
    if (finished) {
        writer_.join();
    } else {
        writer_.detach();
    }
}

void LogSink::out(Priority priority, std::string_view line)
{
    const std::lock_guard lock(state_->mutex);
    state_->append(state_->streams[0], priority, line);
}

void LogSink::err(Priority priority, std::string_view line)
{
    const std::lock_guard lock(state_->mutex);
    state_->append(state_->streams[1], priority, line);
}

bool LogSink::admitLimited()
{
    const std::lock_guard lock(state_->mutex);
    const auto decision = state_->limiter.admit(LineRateLimiter::Clock::now());
    state_->appendSuppressed(decision.suppressedBefore);
    return decision.allowed;
}

void LogSink::flushSuppressed()
{
    const std::lock_guard lock(state_->mutex);
    state_->appendSuppressed(state_->limiter.takeAllSuppressed());
}

bool LogSink::drain(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(state_->mutex);
    return state_->drained.wait_for(lock, timeout, [this] { return state_->idle(); });
}

std::uint64_t LogSink::dropped() const
{
    const std::lock_guard lock(state_->mutex);
    return state_->dropped;
}

}  // namespace collector
