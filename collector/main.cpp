// collectCrashReports: receives crash report frames over UDP and stores each
// valid report as a file. See usageText() for the command line.

#include "Collector.h"
#include "LogSink.h"
#include "Options.h"
#include "ServiceManager.h"
#include "StartupError.h"

#include <unistd.h>

#include <iostream>
#include <string_view>
#include <vector>

#ifndef COLLECTOR_VERSION
#define COLLECTOR_VERSION "unknown"
#endif

namespace {

constexpr int kUsageError = 2;

}  // namespace

int main(int argc, char* argv[])
{
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto parsed = collector::parseOptions(args);
    if (parsed.options.help) {
        std::cout << collector::usageText();
        return 0;
    }
    if (parsed.options.version) {
        std::cout << "collectCrashReports " COLLECTOR_VERSION "\n";
        return 0;
    }

    collector::LogSink log(STDOUT_FILENO, STDERR_FILENO);
    if (!parsed.error.empty()) {
        log.err(collector::Priority::Error, "collectCrashReports: " + parsed.error + " (see --help)");
        return kUsageError;
    }
    try {
        collector::ServiceManager service;
        collector::Collector collector(parsed.options, log, service);
        collector.run();
        log.flushHeldBack();
        log.err(collector::Priority::Info,
                "summary: " + collector::formatSummary(collector.counters(), log.dropped()));
    } catch (const collector::StartupError& error) {
        log.err(collector::Priority::Error, std::string("collectCrashReports: ") + error.what());
        return 1;
    }
    return 0;
}
