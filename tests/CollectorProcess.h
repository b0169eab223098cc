#pragma once

// The collector as the end-to-end tests run it: the real binary serving on
// 127.0.0.1, and what the tests read of its lines and its directory.

#include "TestSupport.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace collector_tests {

using namespace test_support;
namespace fs = std::filesystem;

inline const std::string kCollector = COLLECTOR_PATH;
#ifdef PLAIN_COLLECTOR_PATH
// The collector built without libsystemd.
inline const std::string kCollectorWithoutLibsystemd = PLAIN_COLLECTOR_PATH;
#else
inline const std::string kCollectorWithoutLibsystemd = COLLECTOR_PATH;
#endif
inline const std::string kSender = SENDER_PATH;
inline const std::string kFailCalls = FAIL_CALLS_PATH;
inline constexpr std::uint16_t kCollectorPort = TEST_COLLECTOR_PORT;

// How a collector is started: options before its directory, its port, and
// the process around it.
struct Setup {
    std::vector<std::string> args;
    std::string program = kCollector;
    std::uint16_t port = 0;
    ProcessOptions process;
    std::vector<std::string> wrapper;  // a command that runs the collector, e.g. prlimit
};

// The environment that preloads fail_calls with `call` chosen.
std::vector<std::string> failingCall(const std::string& call);

// A collector serving on 127.0.0.1.
class RunningCollector {
public:
    // Starts it and waits until it says that it listens; throws if it does not.
    explicit RunningCollector(const fs::path& directory, Setup setup = {});

    std::uint16_t port() const { return port_; }
    Child& child() { return child_; }
    // What it wrote to standard error before it listened.
    const std::string& startLines() const { return startLines_; }

    // Waits for the next "stored" line; the stored path, or empty.
    fs::path nextStoredPath();
    ExitResult stop();

private:
    static std::vector<std::string> commandLine(const fs::path& directory, const Setup& setup);

    Child child_;
    std::uint16_t port_ = 0;
    std::string startLines_;
};

// The counts of the summary line in `err`: "received", "stored", "dropped"...
std::map<std::string, std::uint64_t> summaryOf(const std::string& err);
void expectOnlyReports(const fs::path& directory, std::size_t count);
// Distinct crash logs of 0.2 to 3 KiB, as a storm of them would be.
std::vector<std::string> stormOf(int count);
// A report of a crash in `function`: reports of one function share a group,
// whatever their variant; `padding` lines make it larger.
std::string crashIn(const std::string& function, int variant, int padding = 0);
void sendAll(const UdpSocket& peer, std::uint16_t port, const std::vector<std::string>& reports);
// The contents of the reports stored in `directory`, sorted.
std::vector<std::string> storedIn(const fs::path& directory);

}  // namespace collector_tests
