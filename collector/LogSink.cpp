#include "collector/LogSink.h"

#include "common/Mutex.h"
#include "common/Plural.h"
#include "common/UniqueFd.h"

#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <stop_token>
#include <utility>

namespace collector {

namespace {

using crashreports::Lock;
using crashreports::Mutex;
using crashreports::plural;
using crashreports::UniqueFd;

// What one stream may hold back before its lines are dropped.
constexpr std::size_t kBacklogBytes = 1 << 20;
// A pipe that polls writable takes this much without blocking.
constexpr std::size_t kWriteChunk = PIPE_BUF;
constexpr auto kDrainOnExit = std::chrono::seconds(2);
// At the end, how long a slow reader is waited for: for the rest of a line
// cut short, for the writing thread, and for the last line.
constexpr auto kLastWait = std::chrono::seconds(10);

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

// Whether the two descriptors lead to one place, where lines written to each
// would mix.
bool samePlace(int first, int second)
{
    struct stat one {};
    struct stat other {};
    return ::fstat(first, &one) == 0 && ::fstat(second, &other) == 0 && one.st_dev == other.st_dev
        && one.st_ino == other.st_ino;
}

// Waits until `fd` takes more, for `timeout` at most; whether it does.
bool waitWritable(int fd, std::chrono::milliseconds timeout)
{
    pollfd entry{fd, POLLOUT, 0};
    return ::poll(&entry, 1, static_cast<int>(timeout.count())) == 1 && (entry.revents & POLLOUT) != 0;
}

}  // namespace

struct LogSink::State {
    struct Stream {
        int fd = -1;
        bool journal = false;
        std::string pending;
        std::size_t sent = 0;  // bytes of `pending` already written
        bool broken = false;   // it failed: its lines are dropped from now on

        bool idle() const { return sent == pending.size(); }
        // Whether the next byte to write is in the middle of a line.
        bool midLine() const { return sent != 0 && pending[sent - 1] != '\n'; }
    };

    mutable Mutex mutex;
    std::condition_variable_any drained;
    std::array<Stream, 2> streams GUARDED_BY(mutex);  // standard output, standard error
    // The stream that each one's lines go to: set before the thread starts.
    std::array<std::size_t, 2> route{0, 1};
    LineRateLimiter limiter GUARDED_BY(mutex){kLimitedPerSecond};
    const UniqueFd wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    std::uint64_t dropped GUARDED_BY(mutex) = 0;
    bool finished GUARDED_BY(mutex) = false;  // the thread is done

    // Queues one line for `which` (0: output, 1: error).
    void append(std::size_t which, Priority priority, std::string_view line) REQUIRES(mutex)
    {
        Stream& stream = streams[route[which]];
        const std::size_t prefix = stream.journal ? 3 : 0;
        if (stream.broken || stream.pending.size() - stream.sent + prefix + line.size() + 1 > kBacklogBytes) {
            ++dropped;
            return;
        }
        const bool wasIdle = stream.idle();
        if (stream.journal) {
            stream.pending += '<';
            stream.pending += static_cast<char>('0' + static_cast<int>(priority));
            stream.pending += '>';
        }
        stream.pending.append(line);
        stream.pending += '\n';
        if (wasIdle) {
            wakeWriter();
        }
    }

    void wakeWriter() const
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto ignored = ::write(wake.get(), &one, sizeof one);
    }

    void appendSuppressed(std::uint64_t count) REQUIRES(mutex)
    {
        if (count != 0) {
            append(1, Priority::Warning, "suppressed " + plural(count, "log line") + " in the last second");
        }
    }

    bool idle() const REQUIRES(mutex) { return streams[0].idle() && streams[1].idle(); }

    // The next bytes of `stream` to write: whole lines up to kWriteChunk, or
    // what is left of a line longer than that, up to kWriteChunk of it.
    static std::string_view nextChunk(const Stream& stream)
    {
        const std::string_view rest = std::string_view(stream.pending).substr(stream.sent);
        const std::string_view chunk = rest.substr(0, kWriteChunk);
        const auto lastEnd = chunk.rfind('\n');
        return lastEnd == std::string_view::npos ? chunk : chunk.substr(0, lastEnd + 1);
    }

    // Takes `written` bytes as sent, or the stream as broken after `error`.
    void account(Stream& stream, ssize_t written, int error) REQUIRES(mutex)
    {
        if (written > 0) {
            stream.sent += static_cast<std::size_t>(written);
            // Sent bytes are let go once they are half of what is held.
            if (stream.sent == stream.pending.size() || stream.sent > kBacklogBytes / 2) {
                stream.pending.erase(0, stream.sent);
                stream.sent = 0;
            }
        } else if (written < 0 && error != EAGAIN && error != EINTR) {
            // The stream is broken (a closed reader, a full disk): what it
            // holds is dropped, and so will later lines be, one by one.
            dropBacklog(stream, 0);
            stream.pending.clear();
            stream.sent = 0;
            stream.broken = true;
        }
    }

    // Drops the lines of `stream` from `from` bytes past what was sent.
    void dropBacklog(Stream& stream, std::size_t from) REQUIRES(mutex)
    {
        const auto start = stream.pending.begin() + static_cast<std::ptrdiff_t>(stream.sent + from);
        dropped += static_cast<std::uint64_t>(std::count(start, stream.pending.end(), '\n'));
        stream.pending.erase(start, stream.pending.end());
    }

    // Writes what stream `index` can take now without blocking.
    void writeSome(std::size_t index) EXCLUDES(mutex)
    {
        std::string chunk;
        int fd = -1;
        {
            const Lock lock(mutex);
            if (streams[index].idle()) {
                return;
            }
            chunk = nextChunk(streams[index]);
            fd = streams[index].fd;
        }
        const ssize_t written = ::write(fd, chunk.data(), chunk.size());
        const int error = errno;
        const Lock lock(mutex);
        account(streams[index], written, error);
    }

    // What to wait for: the wake descriptor, and each stream that holds
    // lines; and for how long, in ms.
    std::pair<std::array<pollfd, 3>, int> waitFor() REQUIRES(mutex)
    {
        std::array<pollfd, 3> watched{};
        watched[0] = {wake.get(), POLLIN, 0};
        for (std::size_t index = 0; index < streams.size(); ++index) {
            watched[index + 1] = {streams[index].idle() ? -1 : streams[index].fd, POLLOUT, 0};
        }
        return {watched, limiter.holdsSuppressed() ? 1000 : -1};
    }

    // Writes `bytes` more of `stream`, waiting for a slow reader; whether
    // all of them went out.
    static bool writeWaiting(Stream& stream, std::size_t bytes);
    void run(const std::stop_token& stop) EXCLUDES(mutex);
    void finish(const std::function<std::string(std::uint64_t)>& makeLastLine, Priority priority) REQUIRES(mutex);
};

void LogSink::State::run(const std::stop_token& stop)
{
    const std::stop_callback wakeOnStop(stop, [this] { wakeWriter(); });
    while (!stop.stop_requested()) {
        std::pair<std::array<pollfd, 3>, int> watch;
        {
            const Lock lock(mutex);
            appendSuppressed(limiter.takeSuppressed(LineRateLimiter::Clock::now()));
            if (idle()) {
                drained.notify_all();
            }
            watch = waitFor();
        }
        auto& [watched, timeout] = watch;
        ::poll(watched.data(), watched.size(), timeout);
        if (watched[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto ignored = ::read(wake.get(), &count, sizeof count);
        }
        for (std::size_t index = 0; index + 1 < watched.size(); ++index) {
            if (watched[index + 1].revents != 0) {
                writeSome(index);
            }
        }
    }
    const Lock lock(mutex);
    finished = true;
    drained.notify_all();
}

bool LogSink::State::writeWaiting(Stream& stream, std::size_t bytes)
{
    while (bytes != 0) {
        if (stream.broken || !waitWritable(stream.fd, kLastWait)) {
            return false;
        }
        const ssize_t written = ::write(stream.fd, stream.pending.data() + stream.sent, bytes);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            stream.broken = true;
            return false;
        }
        stream.sent += static_cast<std::size_t>(written);
        bytes -= static_cast<std::size_t>(written);
    }
    return true;
}

void LogSink::State::finish(const std::function<std::string(std::uint64_t)>& makeLastLine, Priority priority)
{
    for (Stream& stream : streams) {
        // A line that went out in part is finished, if it can be; the rest
        // are dropped.
        const std::size_t lineEnd = stream.pending.find('\n', stream.sent) + 1;
        if (!stream.broken && stream.midLine() && !writeWaiting(stream, lineEnd - stream.sent)) {
            ++dropped;
            stream.sent = lineEnd;
        }
        dropBacklog(stream, 0);
        stream.pending.clear();
        stream.sent = 0;
    }
    append(1, priority, makeLastLine(dropped));
    Stream& last = streams[route[1]];
    writeWaiting(last, last.pending.size());
}

LogSink::LogSink(int outFd, int errFd) : state_(std::make_shared<State>())
{
    {
        const Lock lock(state_->mutex);
        state_->streams[0] = {outFd, isJournal(outFd), {}, 0, false};
        state_->streams[1] = {errFd, isJournal(errFd), {}, 0, false};
    }
    if (samePlace(outFd, errFd)) {
        state_->route[1] = 0;
    }
    // The thread shares the state, so that it may outlive the sink when a
    // stream blocks it at exit.
    writer_.emplace([state = state_](const std::stop_token& stop) { state->run(stop); });
}

LogSink::~LogSink()
{
    if (!finished_) {
        {
            const Lock lock(state_->mutex);
            state_->appendSuppressed(state_->limiter.takeAllSuppressed());
        }
        drain(kDrainOnExit);
        stopWriter();
    }
}

bool LogSink::stopWriter()
{
    writer_->requestStop();
    bool stopped = false;
    {
        Lock lock(state_->mutex);
        stopped = state_->drained.wait_for(lock, kLastWait, [this]() REQUIRES(state_->mutex) {
            return state_->finished;
        });
    }
    if (stopped) {
        writer_->stop();
    } else {
        writer_->detach();
    }
    return stopped;
}

void LogSink::finish(const std::function<std::string(std::uint64_t dropped)>& makeLastLine, Priority priority)
{
    {
        const Lock lock(state_->mutex);
        state_->appendSuppressed(state_->limiter.takeAllSuppressed());
    }
    drain(kDrainOnExit);
    finished_ = true;
    // A writer that does not stop is stuck in a write: nothing more can go out.
    if (stopWriter()) {
        const Lock lock(state_->mutex);
        state_->finish(makeLastLine, priority);
    }
}

void LogSink::out(Priority priority, std::string_view line)
{
    const Lock lock(state_->mutex);
    state_->append(0, priority, line);
}

void LogSink::err(Priority priority, std::string_view line)
{
    const Lock lock(state_->mutex);
    state_->append(1, priority, line);
}

bool LogSink::admitLimited()
{
    const Lock lock(state_->mutex);
    const auto decision = state_->limiter.admit(LineRateLimiter::Clock::now());
    state_->appendSuppressed(decision.suppressedBefore);
    return decision.allowed;
}

bool LogSink::drain(std::chrono::milliseconds timeout)
{
    Lock lock(state_->mutex);
    return state_->drained.wait_for(lock, timeout, [this]() REQUIRES(state_->mutex) { return state_->idle(); });
}

bool LogSink::errIsJournal() const
{
    const Lock lock(state_->mutex);
    return state_->streams[state_->route[1]].journal;
}

std::uint64_t LogSink::dropped() const
{
    const Lock lock(state_->mutex);
    return state_->dropped;
}

}  // namespace collector
