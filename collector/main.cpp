// collectCrashReports: receives crash report frames over UDP and stores each
// valid report. See usageText() for the command line.

#include "BuildConfig.h"
#include "collector/Collector.h"
#include "collector/LogSink.h"
#include "collector/Options.h"
#include "collector/ServiceManager.h"
#include "common/StartupError.h"
#include "common/UniqueFd.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kUsageError = 2;

// Writes `text` to standard output; 0, or 1 after a line saying why not. An
// error that shows only once the stream is flushed counts too.
int printText(std::string_view text)
{
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0) {
        const int error = errno;
        std::fprintf(stderr, "%s\n",
                     crashreports::withReason("collectCrashReports: can't write to standard output", error).c_str());
        return 1;
    }
    return 0;
}

// Runs the collector; its exit status. The summary is written whichever way
// serving ends, once it has begun.
int serve(const collector::Options& options, collector::LogSink& log)
{
    using collector::Priority;
    collector::ServiceManager service;
    std::optional<collector::Collector> collector;
    try {
        collector.emplace(options, log, service);
    } catch (const crashreports::StartupError& error) {
        log.err(Priority::Error, std::string("collectCrashReports: ") + error.what());
        return 1;
    } catch (const std::bad_alloc&) {
        log.err(Priority::Error, "collectCrashReports: can't start: out of memory");
        return 1;
    }
    int status = 0;
    try {
        collector->run();
    } catch (const crashreports::StartupError& error) {
        log.err(Priority::Error, std::string("collectCrashReports: ") + error.what());
        return 1;
    } catch (const std::exception& error) {
        log.err(Priority::Error, std::string("collectCrashReports: ") + error.what());
        status = 1;
    }
    log.finish([&](std::uint64_t dropped) { return "summary: " + collector::formatSummary(collector->counters(), dropped); },
               Priority::Info);
    return status;
}

// Under socket activation, a usage error keeps the service running, serving
// nothing, until it is stopped: had it exited, every datagram would start it
// again through the socket until systemd gave up and closed the port. So
// the socket stays open and what arrives waits in its buffer until the
// options are mended and the service restarted; the watchdog is kept told.
void holdSocketUntilStopped(const std::string& error, collector::LogSink& log)
{
    collector::ServiceManager service;
    if (!service.socketPassed()) {
        return;
    }
    sigset_t signals;
    ::sigemptyset(&signals);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        ::sigaddset(&signals, number);
    }
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
    const crashreports::UniqueFd stop(::signalfd(-1, &signals, SFD_CLOEXEC));
    log.err(collector::Priority::Error,
            "collectCrashReports: not serving the socket that systemd passed until the options are mended and the "
            "service is restarted; reports wait in its buffer meanwhile");
    service.ready("not serving: " + error);
    const int interval = static_cast<int>(service.keepAliveInterval(std::chrono::seconds(60)).count());
    pollfd wait{stop.get(), POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&wait, 1, interval);
        if (ready > 0 || (ready < 0 && errno != EINTR)) {
            break;
        }
        service.keepAlive();
    }
    service.stopping();
}

// Parses and dispatches; the exit status.
int runCollector(int argc, char* argv[])
{
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto parsed = collector::parseOptions(args);
    if (parsed.options.help) {
        return printText(collector::usageText());
    }
    if (parsed.options.version) {
        return printText(std::string("collectCrashReports ") + build_config::kVersion + "\n");
    }

    collector::LogSink log(STDOUT_FILENO, STDERR_FILENO);
    if (!parsed.error.empty()) {
        log.err(collector::Priority::Error, "collectCrashReports: " + parsed.error + " (see --help)");
        holdSocketUntilStopped(parsed.error, log);
        return kUsageError;
    }
    return serve(parsed.options, log);
}

}  // namespace

int main(int argc, char* argv[])
{
    // Out of memory or threads before anything is served: one line, as for
    // any other failure to start.
    try {
        return runCollector(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("collectCrashReports: can't start: out of memory\n", stderr);
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "collectCrashReports: can't start: %s\n", error.what());
        return 1;
    }
}
