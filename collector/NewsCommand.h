#pragma once

// One run of the operator's command for a piece of news: `sh -c COMMAND` in a
// process group of its own, with the news and PATH, HOME and LANG as its
// whole environment, and its standard output and error read back as lines.
// When the shell exits, or its time is up, or the collector stops, the whole
// group is ended, so that nothing it started in the background outlives it.

#include "collector/LogSink.h"
#include "common/UniqueFd.h"
#include "store/ReportStore.h"

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace collector {

// "new" or "regressed".
std::string_view eventName(store::GroupEvent event);
// The environment of the command for `news`: its CRASH_* variables, and
// PATH, HOME and LANG from `inherited` (PATH has a default). Nothing else:
// in particular nothing of the service manager's (NOTIFY_SOCKET,
// WATCHDOG_*, INVOCATION_ID).
std::vector<std::string> commandEnvironment(const store::GroupNews& news, char** inherited);

class NewsCommand {
public:
    using Clock = std::chrono::steady_clock;
    // Called with each line the command wrote, at Info from its standard
    // output and Warning from its standard error.
    using LineSink = std::function<void(Priority, std::string_view)>;

    // Lines of one command that are written, and the bytes of each.
    static constexpr std::size_t kMostLines = 20;
    static constexpr std::size_t kMostLineBytes = 1000;

    // Starts `sh -c command`; throws std::system_error if it can't.
    NewsCommand(const std::string& command, const store::GroupNews& news);
    NewsCommand(const NewsCommand&) = delete;
    NewsCommand& operator=(const NewsCommand&) = delete;
    // Ends the group if it still runs.
    ~NewsCommand();

    // What to wait for: the shell's end (where the system can tell it by a
    // descriptor) and its output.
    void addWaits(std::vector<pollfd>& waits) const;
    // Whether its end can be waited for with addWaits(); otherwise it has to
    // be looked at now and then.
    bool endIsWaitable() const { return pidFd_.get() >= 0; }
    // Reads what its output holds, handing on whole lines.
    void readOutput(const LineSink& sink);
    // If the shell exited: ends what it left running, reaps it, hands on the
    // rest of its output and says how it ended (a wait status).
    std::optional<int> finishIfExited(const LineSink& sink);
    // Ends the whole group now and reaps the shell; its wait status.
    int kill(const LineSink& sink);

    const store::GroupNews& news() const { return news_; }
    Clock::time_point started() const { return started_; }

private:
    struct Stream {
        crashreports::UniqueFd fd;
        Priority priority;
        std::string partial;  // a line not yet ended
        bool cut = false;     // the rest of this line is not shown
    };

    void readStream(Stream& stream, const LineSink& sink);
    // Takes bytes read, handing on each line they end.
    void take(Stream& stream, std::string_view bytes, const LineSink& sink);
    void endLine(Stream& stream, const LineSink& sink);
    int reap();

    store::GroupNews news_;
    pid_t pid_ = -1;
    bool reaped_ = false;
    crashreports::UniqueFd pidFd_;
    Stream out_{{}, Priority::Info, {}, false};
    Stream err_{{}, Priority::Warning, {}, false};
    std::size_t lines_ = 0;       // written
    std::size_t unshown_ = 0;     // past kMostLines
    Clock::time_point started_;
};

// "the command for crash group GROUP exited with status 3", "... was ended
// by SIGKILL".
std::string describeEnd(const std::string& group, int status);

}  // namespace collector
