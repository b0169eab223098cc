#pragma once

// Every line that the collector writes goes out through here. A thread of its
// own writes them, so that a standard output or error that can't take them
// (a pipe that nobody reads, a full disk, a closed reader) never holds up
// receiving or storing: past a bounded backlog, lines are dropped and counted.
// Only whole lines go out, in the order they came: standard output and error
// that lead to one place (the journal, a terminal, one file) share one queue.
// Under the journal each line carries its syslog priority prefix.

#include "collector/LineRateLimiter.h"
#include "common/WorkerThread.h"

#include <chrono>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <optional>
#include <string_view>

namespace collector {

enum class Priority { Error = 3, Warning = 4, Notice = 5, Info = 6 };

class LogSink {
public:
    // Lines that senders can cause, written through limited(): at most this
    // many a second.
    static constexpr std::uint64_t kLimitedPerSecond = 100;

    // Writes to `outFd` and `errFd`, which it does not own.
    LogSink(int outFd, int errFd);
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;
    // Gives the lines still queued a moment to go out, then leaves them.
    ~LogSink();

    void out(Priority priority, std::string_view line);
    void err(Priority priority, std::string_view line);
    // To standard error, within kLimitedPerSecond; the lines suppressed are
    // counted in one line once their second is over. The line is made only
    // if it is to be written, so that a flood of suppressed lines costs
    // nothing to format.
    template <std::invocable MakeLine>
    void limited(Priority priority, MakeLine&& makeLine)
    {
        if (admitLimited()) {
            err(priority, std::forward<MakeLine>(makeLine)());
        }
    }
    void limited(Priority priority, std::string_view line)
    {
        limited(priority, [line] { return std::string(line); });
    }

    // Ends the output with a last line to standard error, made from the count
    // of lines dropped in all: the lines queued get a moment to go out, a line
    // cut short is finished, the rest are dropped, and the last line is
    // written even to a slow reader. Nothing is written after it.
    void finish(const std::function<std::string(std::uint64_t dropped)>& makeLastLine, Priority priority);
    // Waits until every line queued so far is written, or the timeout passes;
    // whether all were written.
    bool drain(std::chrono::milliseconds timeout);
    // Lines dropped because their stream could not take them.
    std::uint64_t dropped() const;
    // Whether standard error is the journal's stream.
    bool errIsJournal() const;

private:
    // Whether one more limited line may be written now.
    bool admitLimited();
    // Has the writing thread stop; whether it did in time.
    bool stopWriter();

    struct State;
    std::shared_ptr<State> state_;
    std::optional<crashreports::WorkerThread> writer_;
    bool finished_ = false;
};

}  // namespace collector
