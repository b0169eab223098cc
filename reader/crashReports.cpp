// crashReports: tells what crashed, from the reports that a collector
// stored. See readerUsage() for the command line.

#include "BuildConfig.h"
#include "reader/Reader.h"
#include "reader/ReaderOptions.h"
#include "reader/ReaderOutput.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string_view>
#include <vector>

namespace {

constexpr int kUsageError = 2;

// Parses and dispatches; the exit status.
int runCrashReports(int argc, char* argv[])
{
    const auto now = std::chrono::system_clock::now();
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    const auto parsed = triage::parseReaderOptions(args, now);
    triage::Outcome outcome;
    if (parsed.options.help) {
        outcome.output = triage::readerUsage();
    } else if (parsed.options.version) {
        outcome.output = std::string("crashReports ") + build_config::kVersion + "\n";
    } else if (!parsed.error.empty()) {
        outcome = {kUsageError, {}, {parsed.error + " (see --help)"}};
    } else {
        outcome = triage::runReader(parsed.options, now);
        // A report's bytes reach a terminal only as text it can't obey;
        // a pipe or a file gets them exactly as stored.
        if (parsed.options.command == triage::Command::Show && ::isatty(STDOUT_FILENO) == 1) {
            outcome.output = triage::forTerminal(outcome.output);
        }
    }
    return triage::writeOutcome(outcome, stdout, stderr);
}

}  // namespace

int main(int argc, char* argv[])
{
    try {
        return runCrashReports(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("crashReports: out of memory\n", stderr);
        return 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "crashReports: %s\n", error.what());
        return 1;
    }
}
