#pragma once

// Tells when a crash is new, or back after a quiet time: one line at
// priority notice (under the journal, a structured entry with a fixed
// MESSAGE_ID and CRASH_* fields instead), and, if the operator asked for it,
// `sh -c COMMAND` with those fields as its environment. A thread of its own
// does it all, so that storing never waits for it: news waits in a bounded
// queue, a few commands run at once, each is killed after kCommandTimeout,
// and a command that fails is a line.

#include "collector/LogSink.h"
#include "common/Mutex.h"
#include "common/WorkerThread.h"
#include "store/ReportStore.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <optional>
#include <stop_token>
#include <string>

namespace collector {

// What the journal entries of news carry as MESSAGE_ID.
inline constexpr const char* kNewsMessageId = "2f6a3c1e9b8d4f07a5c2e4b6d8f01a3c";

using store::GroupNews;

// "new" or "regressed".
std::string_view eventName(store::GroupEvent event);
// The line for `news`, e.g. "new crash group 0123456789abcdef: SIGSEGV in
// parse_header (report NAME from 10.1.2.3:40000)".
std::string newsLine(const GroupNews& news);

class Notifier {
public:
    // More than a store tells at once (a directory store: the news of a
    // burst of up to 2,048 reports), at about 600 bytes each at most.
    static constexpr std::size_t kMostQueued = 4096;
    static constexpr std::size_t kMostRunning = 4;
    static constexpr auto kCommandTimeout = std::chrono::seconds(30);

    // `command`: run for each piece of news, if given, and killed after
    // `timeout`.
    Notifier(LogSink& log, std::optional<std::string> command,
             std::chrono::milliseconds timeout = kCommandTimeout);
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;
    ~Notifier();

    // Tells what is queued, gives running commands a moment, then kills
    // them; its lines are out when it returns. Again, it does nothing.
    void stop();

    // Queues `news`; never waits. News past kMostQueued is dropped and
    // counted in a line.
    void tell(GroupNews news);

private:
    struct Running {
        int pid;
        std::chrono::steady_clock::time_point started;
        std::string group;
    };

    void run(const std::stop_token& stop);
    // Waits for news, for kReapEvery at most, and says what was dropped.
    void waitForNews(const std::stop_token& stop) EXCLUDES(mutex_);
    // The next news to tell now: while a command slot is free, or all of
    // it with no command or once stopping.
    std::optional<GroupNews> nextToTell(bool stopping) EXCLUDES(mutex_);
    // Gives the commands still running a moment to end, then kills them.
    void endCommands();
    void announce(const GroupNews& news);
    void start(const GroupNews& news);
    // Reaps the commands that ended and kills those past their time (all of
    // them if `stopping`); a line for each that failed.
    void reap(bool stopping);

    LogSink& log_;
    const std::optional<std::string> command_;
    const std::chrono::milliseconds timeout_;
    crashreports::Mutex mutex_;
    std::condition_variable_any changed_;
    std::deque<GroupNews> queue_ GUARDED_BY(mutex_);
    std::uint64_t dropped_ GUARDED_BY(mutex_) = 0;
    std::vector<Running> running_;  // the thread's own
    crashreports::WorkerThread thread_;  // last: it starts once the rest is made
};

}  // namespace collector
