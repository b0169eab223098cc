#include "CollectorProcess.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <regex>
#include <stdexcept>

namespace collector_tests {

std::vector<std::string> failingCall(const std::string& call)
{
    return {"LD_PRELOAD=" + kFailCalls, "FAIL_CALL=" + call, "ASAN_OPTIONS=verify_asan_link_order=0"};
}

RunningCollector::RunningCollector(const fs::path& directory, Setup setup)
    : child_(commandLine(directory, setup), setup.process)
{
    static const std::regex listening(R"(listening on 127\.0\.0\.1:(\d+), storing into .*)");
    while (const auto line = child_.readErrLine()) {
        if (std::smatch match; std::regex_match(*line, match, listening)) {
            port_ = static_cast<std::uint16_t>(std::stoi(match[1]));
            return;
        }
        startLines_ += *line + "\n";
    }
    throw std::runtime_error("the collector did not start listening");
}

fs::path RunningCollector::nextStoredPath()
{
    static const std::regex stored(R"(stored (\S+) \((\d+) bytes? from 127(\.\d+){3}:\d+\) in group [0-9a-f]{16}: .+)");
    const auto line = child_.readOutLine(30s);
    std::smatch match;
    if (!line || !std::regex_match(*line, match, stored)) {
        ADD_FAILURE() << "expected a stored line, got " << line.value_or("nothing");
        return {};
    }
    return fs::path(match[1].str());
}

ExitResult RunningCollector::stop()
{
    child_.signal(SIGTERM);
    return child_.wait();
}

std::vector<std::string> RunningCollector::commandLine(const fs::path& directory, const Setup& setup)
{
    // No free space kept by default: the tests pass on a nearly full disk
    // too. Options of the test's own come later and win.
    std::vector<std::string> argv = setup.wrapper;
    argv.insert(argv.end(),
                {setup.program, "--bind", "127.0.0.1", "--port", std::to_string(setup.port), "--keep-free", "0"});
    argv.insert(argv.end(), setup.args.begin(), setup.args.end());
    argv.push_back(directory.string());
    return argv;
}

std::map<std::string, std::uint64_t> summaryOf(const std::string& err)
{
    std::map<std::string, std::uint64_t> counts;
    const auto start = err.rfind("summary: ");
    if (start == std::string::npos) {
        ADD_FAILURE() << "no summary line in: " << err;
        return counts;
    }
    const std::string line = err.substr(start, err.find('\n', start) - start);
    const std::regex count(R"(([a-z][a-z -]*) (\d+))");
    for (auto match = std::sregex_iterator(line.begin(), line.end(), count); match != std::sregex_iterator(); ++match) {
        counts[(*match)[1].str()] = std::stoull((*match)[2].str());
    }
    return counts;
}

void expectOnlyReports(const fs::path& directory, std::size_t count)
{
    std::vector<fs::path> files;
    for (const auto& file : filesIn(directory)) {
        // The index, derived from the reports, is beside them, and so are
        // the decisions on their groups.
        const std::string name = file.filename().string();
        if (!name.starts_with(".index.sqlite") && name != ".decisions") {
            files.push_back(file);
        }
    }
    EXPECT_EQ(files.size(), count);
    for (const auto& file : files) {
        EXPECT_EQ(file.extension(), ".report") << file << " is not a stored report";
    }
}

std::vector<std::string> stormOf(int count)
{
    std::vector<std::string> reports;
    for (int index = 0; index < count; ++index) {
        reports.push_back(makeCrashLog(200 + static_cast<std::size_t>(index * 7919 % 2900), static_cast<unsigned>(index)));
    }
    return reports;
}

std::string crashIn(const std::string& function, int variant, int padding)
{
    std::string report = "*** crash report ***\nprocess: app (pid " + std::to_string(4000 + variant)
        + ")\nsignal 11 (SIGSEGV), code 1 (SEGV_MAPERR), fault address 0x" + std::to_string(variant)
        + "\nthread 1 (LWP 42) \"main\":\n  #0  0x00005581c3a0003" + std::to_string(variant % 10) + " in "
        + function + " (app.c:" + std::to_string(10 + variant) + ")\n  #1  0x00005581c3a00040 in main (app.c:3)\n";
    for (int line = 0; line < padding; ++line) {
        report += "log: request " + std::to_string(variant * 1000 + line) + " served\n";
    }
    return report;
}

void sendAll(const UdpSocket& peer, std::uint16_t port, const std::vector<std::string>& reports)
{
    for (const auto& report : reports) {
        peer.sendTo(port, makeFrame(toBytes(report)));
    }
}

std::vector<std::string> storedIn(const fs::path& directory)
{
    std::vector<std::string> stored;
    for (const auto& file : filesIn(directory)) {
        if (file.extension() == ".report") {
            const Bytes content = readFile(file);
            stored.emplace_back(content.begin(), content.end());
        }
    }
    std::ranges::sort(stored);
    return stored;
}

}  // namespace collector_tests
