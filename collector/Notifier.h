#pragma once

// Tells when a crash is new, or back after a quiet time: one line at
// priority notice (under the journal, a structured entry with a fixed
// MESSAGE_ID and CRASH_* fields instead), and, if the operator asked for it,
// `sh -c COMMAND` with those fields as its environment (see NewsCommand). A
// thread of its own does it all, so that storing never waits for a command:
// each piece of news is told as soon as the thread has it, and never dropped;
// commands take turns by host (see CommandQueue), each is ended with all it
// started after kCommandTimeout, what they write becomes lines, and a
// command that fails is a line. While commands run, the thread sleeps until
// one ends, writes, or is due to be ended, or news comes.

#include "collector/CommandQueue.h"
#include "collector/LogSink.h"
#include "collector/NewsCommand.h"
#include "common/Mutex.h"
#include "common/UniqueFd.h"
#include "common/WorkerThread.h"
#include "store/ReportStore.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace collector {

// What the journal entries of news carry as MESSAGE_ID.
inline constexpr const char* kNewsMessageId = "2f6a3c1e9b8d4f07a5c2e4b6d8f01a3c";

using store::GroupNews;

// The line for `news`, e.g. "new crash group 0123456789abcdef: SIGSEGV in
// parse_header (report NAME from 10.1.2.3:40000)".
std::string newsLine(const GroupNews& news);

class Notifier {
public:
    // News that waits for the thread, at most: more than a store tells at
    // once (a directory store: the news of a burst of up to 2,048 reports),
    // at about 600 bytes each at most.
    static constexpr std::size_t kMostQueued = 4096;
    static constexpr auto kCommandTimeout = std::chrono::seconds(30);

    // What it did since it started, for metrics.
    struct Figures {
        std::uint64_t newGroups = 0;
        std::uint64_t regressedGroups = 0;
        std::uint64_t commandsRun = 0;
        std::uint64_t commandsFailed = 0;  // a status other than 0, a signal or their time
        std::uint64_t commandsSkipped = 0;
    };

    // `command`: run for each piece of news, if given, and ended after
    // `timeout`. Throws std::system_error if its thread can't be had.
    Notifier(LogSink& log, std::optional<std::string> command,
             std::chrono::milliseconds timeout = kCommandTimeout);
    Notifier(const Notifier&) = delete;
    Notifier& operator=(const Notifier&) = delete;
    ~Notifier();

    // Tells what is queued, gives running commands a moment, then ends
    // them; its lines are out when it returns. Again, it does nothing.
    void stop();

    // Hands `news` to the thread, which tells it at once. Waits while
    // kMostQueued pieces wait: storing slows rather than news being lost.
    void tell(GroupNews news);

    Figures figures() const;

private:
    void run(const std::stop_token& stop);
    // The news queued so far, all of it; room for more.
    std::deque<GroupNews> takeQueued() EXCLUDES(mutex_);
    void announce(const GroupNews& news);
    void startCommands();
    // Sleeps until news comes, a command writes or ends, one is due to be
    // ended, or the lines of what was skipped are due; or `until` comes.
    void waitForEvents(std::optional<std::chrono::steady_clock::time_point> until = std::nullopt);
    // Reads what commands wrote, and finishes those that ended or whose
    // time is up (all of them once `ending`).
    void tendCommands(bool ending);
    void finish(NewsCommand& command, int status);
    // Says what was skipped, at most once a second unless `now`.
    void saySkipped(bool now);
    // Gives the commands still running a moment to end, then ends them.
    void endCommands();
    void wake() const;
    NewsCommand::LineSink lineSink();

    LogSink& log_;
    const std::optional<std::string> command_;
    const std::chrono::milliseconds timeout_;
    const crashreports::UniqueFd wake_;
    crashreports::Mutex mutex_;
    std::condition_variable_any room_;
    std::deque<GroupNews> queue_ GUARDED_BY(mutex_);
    // The thread's own:
    CommandQueue commands_;
    std::vector<std::unique_ptr<NewsCommand>> running_;
    std::chrono::steady_clock::time_point lastSkippedLine_{};
    std::atomic<std::uint64_t> newGroups_{0};
    std::atomic<std::uint64_t> regressedGroups_{0};
    std::atomic<std::uint64_t> commandsRun_{0};
    std::atomic<std::uint64_t> commandsFailed_{0};
    std::atomic<std::uint64_t> commandsSkipped_{0};
    crashreports::WorkerThread thread_;  // last: it starts once the rest is made
};

}  // namespace collector
