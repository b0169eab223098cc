// News of crash groups: every piece told at once, commands that take turns
// by host, see only the news, write lines of their own and leave nothing
// running behind them.

#include "TestSupport.h"
#include "collector/CommandQueue.h"
#include "collector/Notifier.h"

#include <fcntl.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono;
using namespace test_support;
namespace fs = std::filesystem;

// A notifier whose lines go to a file, running `command` with "{dir}"
// replaced by a directory of its own.
class NotifierRun {
public:
    explicit NotifierRun(std::string command, milliseconds timeout = 30s)
        : out_(::open((dir_.path() / "log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600)), log_(out_.get(), out_.get())
    {
        for (auto at = command.find("{dir}"); at != std::string::npos; at = command.find("{dir}")) {
            command.replace(at, 5, dir_.path().string());
        }
        notifier_.emplace(log_, command, timeout);
    }
    ~NotifierRun() { stop(); }

    // `count` pieces of news of new groups from `sender`.
    void tell(const std::string& sender, int count)
    {
        for (int index = 0; index < count; ++index) {
            notifier_->tell({store::GroupEvent::New, groupId(told_++), "SIGSEGV in parse_header",
                             "20261208T115959.000042Z_report.report", sender});
        }
    }
    void stop()
    {
        notifier_.reset();
        log_.drain(10s);
    }
    std::string log() const
    {
        return readText(dir_.path() / "log");
    }
    const fs::path& dir() const { return dir_.path(); }
    // Waits until `holds` says yes of the lines and the directory, for
    // `within` at most; whether it did.
    bool waitFor(const std::function<bool(const std::string&, const fs::path&)>& holds, milliseconds within) const
    {
        const auto deadline = steady_clock::now() + within;
        while (!holds(log(), dir()) && steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        return holds(log(), dir());
    }

    static std::string groupId(int index)
    {
        char id[17];
        std::snprintf(id, sizeof id, "%016x", index);
        return id;
    }

private:
    TempDir dir_;
    Fd out_;
    collector::LogSink log_;
    std::optional<collector::Notifier> notifier_;
    int told_ = 0;
};

// Whether the process whose id is in `file` is gone (or a zombie that
// nobody reaped yet).
bool processGone(const fs::path& file)
{
    std::ifstream in(file);
    int pid = 0;
    if (!(in >> pid) || pid <= 0) {
        return false;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) {
        return true;
    }
    const auto end = line.rfind(')');
    return end != std::string::npos && line.compare(end + 2, 1, "Z") == 0;
}

// The names in an `env` listing.
std::set<std::string> namesIn(const fs::path& file)
{
    std::set<std::string> names;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        names.insert(line.substr(0, line.find('=')));
    }
    return names;
}

// The commands skipped by the lines of what was skipped.
std::uint64_t skippedIn(const std::string& log)
{
    static const std::regex skipped(R"(skipped the command for (\d+) crash groups? from 10\.0\.0\.1: too many at once)");
    std::uint64_t total = 0;
    for (auto match = std::sregex_iterator(log.begin(), log.end(), skipped); match != std::sregex_iterator(); ++match) {
        total += std::stoull((*match)[1].str());
    }
    return total;
}

struct Case {
    const char* name;
    std::string command;
    std::vector<std::pair<std::string, int>> news;  // sender, pieces
    // What holds within `within` of the news, before the notifier stops
    // (after it, with `afterStop`).
    std::function<bool(const std::string& log, const fs::path& dir)> holds;
    milliseconds within = 3s;
    bool afterStop = false;
    milliseconds timeout = 30s;
    friend void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }
};

class NotifierCase : public testing::TestWithParam<Case> {};

TEST_P(NotifierCase, Does)
{
    const Case& c = GetParam();
    // What the service manager gives the collector, and a secret of its own.
    for (const char* variable : {"NOTIFY_SOCKET", "WATCHDOG_PID", "WATCHDOG_USEC", "INVOCATION_ID", "COLLECTOR_SECRET"}) {
        ::setenv(variable, "1", 1);
    }
    NotifierRun run(c.command, c.timeout);
    for (const auto& [sender, count] : c.news) {
        run.tell(sender, count);
    }
    if (c.afterStop) {
        std::this_thread::sleep_for(300ms);
        run.stop();
    }
    EXPECT_TRUE(run.waitFor(c.holds, c.within)) << run.log().substr(0, 4000);
}

const std::vector<std::pair<std::string, int>> kFloodThenAnother{{"10.0.0.1:40000", 6000}, {"10.0.0.2:40000", 1}};
const std::string kMostlySlow = "case $CRASH_SENDER in 10.0.0.2:*) touch {dir}/other;; *) sleep 5;; esac";

const Case kCases[] = {
    {"TellsEveryPieceAtOnceWhileCommandsAreBusy", "sleep 5", kFloodThenAnother,
     [](const std::string& log, const fs::path&) {
         return occurrences(log, "new crash group ") == 6001 && occurrences(log, "from 10.0.0.2:40000)") == 1
             && occurrences(log, "dropped") == 0;
     }},
    {"RunsAnotherHostsCommandWhileOneFloods", kMostlySlow, kFloodThenAnother,
     [](const std::string&, const fs::path& dir) { return fs::exists(dir / "other"); }},
    {"SaysWhatItSkippedInAFewLinesByHost", "sleep 5", {{"10.0.0.1:40000", 6000}},
     [](const std::string& log, const fs::path&) {
         // All but those that wait and run; one line a second at most.
         return skippedIn(log) == 6000 - 16 - 3 && occurrences(log, "skipped the command") <= 3;
     }},
    {"EndsEverythingACommandStartedOnceItsTimeIsUp", "sleep 200 & echo $! >{dir}/pid; sleep 200",
     {{"10.1.2.3:40000", 1}},
     [](const std::string& log, const fs::path& dir) {
         return processGone(dir / "pid") && log.find("the command for crash group 0000000000000000 was killed after ")
             != std::string::npos;
     },
     3s, false, 200ms},
    {"EndsWhatACommandLeftRunningWhenItExits", "sleep 200 & echo $! >{dir}/pid", {{"10.1.2.3:40000", 1}},
     [](const std::string&, const fs::path& dir) { return processGone(dir / "pid"); }},
    {"EndsWhatACommandStartedWhenTheCollectorStops", "sleep 200 & echo $! >{dir}/pid; sleep 200",
     {{"10.1.2.3:40000", 1}}, [](const std::string&, const fs::path& dir) { return processGone(dir / "pid"); }, 1s,
     true},
    {"GivesACommandOnlyTheNewsPathHomeAndLang", "env >{dir}/env", {{"10.1.2.3:40000", 1}},
     [](const std::string&, const fs::path& dir) {
         // What the shell itself sets may be there too.
         const std::set<std::string> allowed{"CRASH_EVENT", "CRASH_GROUP", "CRASH_TITLE", "CRASH_REPORT",
                                             "CRASH_SENDER", "PATH", "HOME", "LANG", "PWD", "OLDPWD", "SHLVL", "_"};
         const auto names = namesIn(dir / "env");
         return names.contains("CRASH_SENDER") && names.contains("PATH")
             && std::includes(allowed.begin(), allowed.end(), names.begin(), names.end());
     }},
    {"WritesWhatACommandWritesAsItsOwnLines", "echo hello; echo 'oops\033[2J' >&2", {{"10.1.2.3:40000", 1}},
     [](const std::string& log, const fs::path&) {
         return occurrences(log, "command for crash group 0000000000000000: hello\n") == 1
             && occurrences(log, "command for crash group 0000000000000000: oops?[2J\n") == 1;
     }},
    {"BoundsTheLinesOfAChattyCommand", "seq 1000", {{"10.1.2.3:40000", 1}},
     [](const std::string& log, const fs::path&) {
         return occurrences(log, "command for crash group 0000000000000000: ") == 21
             && occurrences(log, ": 980 more lines not shown") == 1;
     }},
};

INSTANTIATE_TEST_SUITE_P(Notifier, NotifierCase, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& param) { return param.param.name; });

TEST(Notifier, SleepsWhileEveryCommandSlotIsBusy)
{
    NotifierRun run("sleep 3");
    run.tell("10.0.0.1:40000", 4);
    run.tell("10.0.0.2:40000", 4);
    std::this_thread::sleep_for(200ms);
    timespec before{};
    timespec after{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    std::this_thread::sleep_for(2s);
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);

    const auto used = seconds(after.tv_sec - before.tv_sec) + nanoseconds(after.tv_nsec - before.tv_nsec);
    EXPECT_LT(duration_cast<milliseconds>(used).count(), 200);
}

TEST(CommandQueue, TakesHostsInTurnAndLeavesASlotForTheOthers)
{
    struct Row {
        const char* name;
        std::vector<std::string> added;    // the senders of the news, in order
        std::vector<std::string> started;  // the hosts of the commands started, in order
    };
    const std::string a = "10.0.0.1";
    const std::string b = "10.0.0.2";
    const std::string c = "10.0.0.3";
    const Row rows[] = {
        {"one host takes three slots of four", {a, a, a, a, a}, {a, a, a}},
        {"two hosts take turns", {a, a, a, a, b, b}, {a, b, a, b}},
        {"a host with one command gets a slot at once", {a, a, a, a, a, a, c}, {a, c, a, a}},
    };
    for (const auto& row : rows) {
        collector::CommandQueue queue;
        for (const auto& host : row.added) {
            queue.add({store::GroupEvent::New, "0123456789abcdef", "title", "report", host + ":40000"});
        }
        std::vector<std::string> started;
        while (const auto news = queue.next()) {
            started.emplace_back(collector::hostOf(news->sender));
        }
        EXPECT_EQ(started, row.started) << row.name;
    }
}

}  // namespace
