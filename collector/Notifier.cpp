#include "collector/Notifier.h"

#include "common/Plural.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#ifdef HAVE_LIBSYSTEMD
#include <systemd/sd-journal.h>
#endif

extern char** environ;

namespace collector {

namespace {

using Steady = std::chrono::steady_clock;

// How often running commands are looked at, and how long they may go on
// once the collector stops.
constexpr auto kReapEvery = std::chrono::milliseconds(100);
constexpr auto kStopGrace = std::chrono::seconds(2);

// The environment of a command: the collector's own, and the news.
std::vector<std::string> environmentFor(const GroupNews& news)
{
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "CRASH_", 6) != 0) {
            environment.emplace_back(*entry);
        }
    }
    environment.push_back("CRASH_EVENT=" + std::string(eventName(news.event)));
    environment.push_back("CRASH_GROUP=" + news.group);
    environment.push_back("CRASH_TITLE=" + news.title);
    environment.push_back("CRASH_REPORT=" + news.report);
    environment.push_back("CRASH_SENDER=" + news.sender);
    return environment;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (auto& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

std::string describeEnd(int status)
{
    if (WIFEXITED(status)) {
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    }
    return std::string("was ended by ") + (WIFSIGNALED(status) ? sigabbrev_np(WTERMSIG(status)) : "?");
}

}  // namespace

std::string_view eventName(store::GroupEvent event)
{
    return event == store::GroupEvent::Regressed ? "regressed" : "new";
}

std::string newsLine(const GroupNews& news)
{
    return std::string(news.event == store::GroupEvent::Regressed ? "regressed" : "new") + " crash group "
        + news.group + ": " + news.title + " (report " + news.report + " from " + news.sender + ")";
}

Notifier::Notifier(LogSink& log, std::optional<std::string> command, std::chrono::milliseconds timeout)
    : log_(log),
      command_(std::move(command)),
      timeout_(timeout),
      thread_([this](const std::stop_token& stop) { run(stop); })
{
}

Notifier::~Notifier()
{
    stop();
}

void Notifier::stop()
{
    thread_.stop();
}

void Notifier::tell(GroupNews news)
{
    {
        const crashreports::Lock lock(mutex_);
        if (queue_.size() >= kMostQueued) {
            ++dropped_;
            return;
        }
        queue_.push_back(std::move(news));
    }
    changed_.notify_one();
}

void Notifier::run(const std::stop_token& stop)
{
    for (;;) {
        waitForNews(stop);
        const bool stopping = stop.stop_requested();
        while (const auto news = nextToTell(stopping)) {
            announce(*news);
            if (command_ && !stopping) {
                start(*news);
            }
        }
        if (stopping) {
            break;
        }
        reap(false);
    }
    endCommands();
}

void Notifier::waitForNews(const std::stop_token& stop)
{
    std::uint64_t dropped = 0;
    {
        crashreports::Lock lock(mutex_);
        changed_.wait_for(lock, stop, kReapEvery, [this]() REQUIRES(mutex_) { return !queue_.empty(); });
        dropped = std::exchange(dropped_, 0);
    }
    if (dropped != 0) {
        log_.err(Priority::Warning,
                 "dropped " + crashreports::plural(dropped, "piece") + " of crash group news: too many at once");
    }
}

std::optional<GroupNews> Notifier::nextToTell(bool stopping)
{
    const crashreports::Lock lock(mutex_);
    if (queue_.empty() || (command_ && !stopping && running_.size() >= kMostRunning)) {
        return std::nullopt;
    }
    GroupNews news = std::move(queue_.front());
    queue_.pop_front();
    return news;
}

void Notifier::endCommands()
{
    const auto deadline = Steady::now() + kStopGrace;
    while (!running_.empty() && Steady::now() < deadline) {
        std::this_thread::sleep_for(kReapEvery);
        reap(false);
    }
    reap(true);
}

void Notifier::announce(const GroupNews& news)
{
    const std::string line = newsLine(news);
#ifdef HAVE_LIBSYSTEMD
    if (log_.errIsJournal()) {
        const std::string event(eventName(news.event));
        ::sd_journal_send("MESSAGE=%s", line.c_str(), "PRIORITY=5", "MESSAGE_ID=%s", kNewsMessageId,
                          "CRASH_EVENT=%s", event.c_str(), "CRASH_GROUP=%s", news.group.c_str(), "CRASH_TITLE=%s",
                          news.title.c_str(), "CRASH_REPORT=%s", news.report.c_str(), "CRASH_SENDER=%s",
                          news.sender.c_str(), nullptr);
        return;
    }
#endif
    log_.err(Priority::Notice, line);
}

void Notifier::start(const GroupNews& news)
{
    std::vector<std::string> environment = environmentFor(news);
    std::vector<char*> environmentPointers = pointersTo(environment);
    std::vector<std::string> arguments{"sh", "-c", *command_};
    std::vector<char*> argumentPointers = pointersTo(arguments);
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    ::posix_spawnattr_init(&attributes);
    // A group of its own, so that a timeout ends whatever it started; and
    // no signal that the collector blocks stays blocked in it.
    sigset_t none;
    ::sigemptyset(&none);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    const int error = ::posix_spawn(&pid, "/bin/sh", &actions, &attributes, argumentPointers.data(),
                                    environmentPointers.data());
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        log_.err(Priority::Error, "can't run the command for crash group " + news.group + ": " + std::strerror(error));
        return;
    }
    running_.push_back({pid, Steady::now(), news.group});
}

void Notifier::reap(bool stopping)
{
    const auto now = Steady::now();
    std::erase_if(running_, [&](const Running& command) {
        int status = 0;
        const pid_t ended = ::waitpid(command.pid, &status, WNOHANG);
        if (ended == 0) {
            if (!stopping && now - command.started < timeout_) {
                return false;
            }
            ::kill(-command.pid, SIGKILL);
            ::waitpid(command.pid, &status, 0);
            log_.err(Priority::Error, "the command for crash group " + command.group + " was killed after "
                                          + std::to_string((now - command.started) / std::chrono::milliseconds(1))
                                          + " ms");
            return true;
        }
        if (ended == command.pid && (!WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
            log_.err(Priority::Error, "the command for crash group " + command.group + " " + describeEnd(status));
        }
        return true;
    });
}

}  // namespace collector
