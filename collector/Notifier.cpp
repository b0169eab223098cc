#include "collector/Notifier.h"

#include "common/Plural.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#ifdef HAVE_LIBSYSTEMD
#include <systemd/sd-journal.h>
#endif

namespace collector {

namespace {

using Steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often commands whose end the kernel can't signal are looked at; how
// long they may go on once the collector stops; how often the lines of
// what was skipped come at most.
constexpr auto kLookEvery = milliseconds(100);
constexpr auto kStopGrace = std::chrono::seconds(2);
constexpr auto kSkippedEvery = std::chrono::seconds(1);

bool failed(int status)
{
    return !WIFEXITED(status) || WEXITSTATUS(status) != 0;
}

}  // namespace

std::string newsLine(const GroupNews& news)
{
    return std::string(eventName(news.event)) + " crash group " + news.group + ": " + news.title + " (report "
        + news.report + " from " + news.sender + ")";
}

Notifier::Notifier(LogSink& log, std::optional<std::string> command, std::chrono::milliseconds timeout)
    : log_(log),
      command_(std::move(command)),
      timeout_(timeout),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      thread_([this](const std::stop_token& stop) { run(stop); })
{
    if (!wake_) {
        thread_.stop();
        throw std::system_error(errno, std::generic_category(), "can't make an event descriptor");
    }
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
    bool wasEmpty = false;
    {
        crashreports::Lock lock(mutex_);
        room_.wait(lock, [this]() REQUIRES(mutex_) { return queue_.size() < kMostQueued; });
        wasEmpty = queue_.empty();
        queue_.push_back(std::move(news));
    }
    if (wasEmpty) {
        wake();
    }
}

Notifier::Figures Notifier::figures() const
{
    return {newGroups_.load(), regressedGroups_.load(), commandsRun_.load(), commandsFailed_.load(),
            commandsSkipped_.load()};
}

void Notifier::wake() const
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto ignored = ::write(wake_.get(), &one, sizeof one);
}

std::deque<GroupNews> Notifier::takeQueued()
{
    std::deque<GroupNews> taken;
    {
        const crashreports::Lock lock(mutex_);
        taken.swap(queue_);
    }
    room_.notify_all();
    return taken;
}

void Notifier::run(const std::stop_token& stop)
{
    const std::stop_callback wakeOnStop(stop, [this] { wake(); });
    for (;;) {
        // Read before the news is taken: news told after it is taken next time.
        const bool stopping = stop.stop_requested();
        for (auto& news : takeQueued()) {
            announce(news);
            if (command_ && !stopping) {
                commands_.add(std::move(news));
            }
        }
        if (stopping) {
            break;
        }
        startCommands();
        saySkipped(false);
        waitForEvents();
        tendCommands(false);
    }
    endCommands();
}

void Notifier::announce(const GroupNews& news)
{
    ++(news.event == store::GroupEvent::Regressed ? regressedGroups_ : newGroups_);
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

void Notifier::startCommands()
{
    while (auto news = commands_.next()) {
        try {
            running_.push_back(std::make_unique<NewsCommand>(*command_, *news));
            ++commandsRun_;
        } catch (const std::exception& error) {
            commands_.ended(news->sender);
            ++commandsFailed_;
            log_.err(Priority::Error, "can't run the command for crash group " + news->group + ": " + error.what());
        }
    }
}

void Notifier::waitForEvents(std::optional<Steady::time_point> until)
{
    std::vector<pollfd> waits{{wake_.get(), POLLIN, 0}};
    auto timeout = milliseconds(-1);
    const auto now = Steady::now();
    const auto sooner = [&timeout](milliseconds wait) {
        wait = std::max(wait, milliseconds(0));
        timeout = timeout < milliseconds(0) ? wait : std::min(timeout, wait);
    };
    for (const auto& command : running_) {
        command->addWaits(waits);
        sooner(std::chrono::ceil<milliseconds>(command->started() + timeout_ - now));
        if (!command->endIsWaitable()) {
            sooner(kLookEvery);
        }
    }
    if (until) {
        sooner(std::chrono::ceil<milliseconds>(*until - now));
    }
    if (commands_.skippedAny()) {
        sooner(std::chrono::ceil<milliseconds>(lastSkippedLine_ + kSkippedEvery - now));
    }
    if (::poll(waits.data(), waits.size(), static_cast<int>(timeout.count())) > 0 && waits[0].revents != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto ignored = ::read(wake_.get(), &count, sizeof count);
    }
}

NewsCommand::LineSink Notifier::lineSink()
{
    return [this](Priority priority, std::string_view line) { log_.err(priority, line); };
}

void Notifier::tendCommands(bool ending)
{
    const auto sink = lineSink();
    const auto now = Steady::now();
    std::erase_if(running_, [&](const std::unique_ptr<NewsCommand>& command) {
        command->readOutput(sink);
        if (const auto status = command->finishIfExited(sink)) {
            finish(*command, *status);
            return true;
        }
        if (!ending && now - command->started() < timeout_) {
            return false;
        }
        command->kill(sink);
        ++commandsFailed_;
        log_.err(Priority::Error, "the command for crash group " + command->news().group + " was killed after "
                                      + std::to_string((now - command->started()) / milliseconds(1)) + " ms");
        commands_.ended(command->news().sender);
        return true;
    });
}

void Notifier::finish(NewsCommand& command, int status)
{
    commands_.ended(command.news().sender);
    if (failed(status)) {
        ++commandsFailed_;
        log_.err(Priority::Error, describeEnd(command.news().group, status));
    }
}

void Notifier::saySkipped(bool now)
{
    if (!commands_.skippedAny() || (!now && Steady::now() - lastSkippedLine_ < kSkippedEvery)) {
        return;
    }
    lastSkippedLine_ = Steady::now();
    for (const auto& skipped : commands_.takeSkipped()) {
        commandsSkipped_ += skipped.commands;
        const std::string from = skipped.host.empty() ? crashreports::plural(skipped.hosts, "other sender")
                                                      : skipped.host;
        log_.err(Priority::Warning, "skipped the command for " + crashreports::plural(skipped.commands, "crash group")
                                        + " from " + from + ": too many at once");
    }
}

void Notifier::endCommands()
{
    if (const std::uint64_t dropped = commands_.dropWaiting(); dropped != 0) {
        commandsSkipped_ += dropped;
        log_.err(Priority::Warning, "skipped the command for " + crashreports::plural(dropped, "crash group")
                                        + ": the collector is stopping");
    }
    saySkipped(true);
    const auto deadline = Steady::now() + kStopGrace;
    while (!running_.empty() && Steady::now() < deadline) {
        waitForEvents(deadline);
        tendCommands(false);
    }
    tendCommands(true);
}

}  // namespace collector
