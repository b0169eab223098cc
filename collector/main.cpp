// collectCrashReports: receives crash report frames over UDP and stores each
// valid report as a file. See usageText() for the command line.

#include "Collector.h"
#include "Options.h"

#include <exception>
#include <iostream>
#include <string_view>
#include <vector>

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
    if (!parsed.error.empty()) {
        std::cerr << "collectCrashReports: " << parsed.error << " (see --help)" << std::endl;
        return kUsageError;
    }

    collector::blockStopSignals();
    try {
        collector::Collector service(parsed.options, std::cout, std::cerr);
        const collector::Counters counters = service.run();
        std::cerr << "summary: " << collector::formatSummary(counters) << std::endl;
    } catch (const std::exception& error) {
        std::cerr << "collectCrashReports: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
