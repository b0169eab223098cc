#pragma once

// Tells when a crash is new, or back after a quiet time: one line at
// priority notice (under the journal, a structured entry with a fixed
// MESSAGE_ID and CRASH_* fields instead), and, if the operator asked for it,
// `sh -c COMMAND` with those fields as its environment. A thread of its own
// does it all, so that storing never waits for it: news waits in a bounded
// queue, a few commands run at once, each is killed after kCommandTimeout,
// and a command that fails is a line.

#include "collector/LogSink.h"
#include "store/ReportStore.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

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

    void run();
    void announce(const GroupNews& news);
    void start(const GroupNews& news);
    // Reaps the commands that ended and kills those past their time (all of
    // them if `stopping`); a line for each that failed.
    void reap(bool stopping);

    LogSink& log_;
    std::optional<std::string> command_;
    std::chrono::milliseconds timeout_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<GroupNews> queue_;
    std::uint64_t dropped_ = 0;
    bool stopping_ = false;
    std::vector<Running> running_;  // the thread's own
    std::thread thread_;
};

}  // namespace collector
