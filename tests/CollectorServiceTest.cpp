// The collector under systemd: its service protocol and socket activation.

#include "CollectorProcess.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <sstream>
#include <thread>

namespace {

using namespace collector_tests;

// A unix datagram socket standing in for the service manager's notify socket.
class NotifySocket {
public:
    explicit NotifySocket(const fs::path& path) : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.string().copy(address.sun_path, sizeof address.sun_path - 1);
        if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("can't bind " + path.string());
        }
    }

    // The next message that begins with `start`, skipping others.
    std::optional<std::string> next(std::string_view start, std::chrono::milliseconds timeout = 10s) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd entry{fd_.get(), POLLIN, 0};
            if (::poll(&entry, 1, 100) == 1) {
                char message[4096];
                const ssize_t size = ::recv(fd_.get(), message, sizeof message, 0);
                if (size > 0 && std::string_view(message, static_cast<std::size_t>(size)).starts_with(start)) {
                    return std::string(message, static_cast<std::size_t>(size));
                }
            }
        }
        return std::nullopt;
    }

private:
    Fd fd_;
};

// Each check runs on the collector as built, and on one built without
// libsystemd, which speaks the protocol itself.
class CollectorUnderSystemd : public testing::TestWithParam<std::string> {
protected:
    static const std::string& activate()
    {
        static const std::string path = "/usr/bin/systemd-socket-activate";
        return path;
    }
};

TEST_P(CollectorUnderSystemd, TellsReadinessStatusKeepAliveAndStop)
{
    TempDir dir;
    const NotifySocket manager(dir.path() / "notify");
    RunningCollector collector(dir.path() / "reports",
                               {.program = GetParam(),
                                .process = {.env = {"NOTIFY_SOCKET=" + (dir.path() / "notify").string(),
                                                    "WATCHDOG_USEC=400000"}}});

    const auto ready = manager.next("READY=1");
    ASSERT_TRUE(ready);
    EXPECT_TRUE(ready->starts_with("READY=1\nSTATUS=received 0, stored 0, ")) << *ready;
    EXPECT_TRUE(manager.next("WATCHDOG=1", 1s)) << "no keep-alive within the watchdog's interval";
    collector.child().signal(SIGTERM);
    EXPECT_TRUE(manager.next("STOPPING=1"));
    EXPECT_EQ(collector.child().wait().status, 0);
}

TEST_P(CollectorUnderSystemd, TakesTheSocketThatSocketActivationPasses)
{
    if (!fs::exists(activate())) {
        GTEST_SKIP() << activate() << " is not installed";
    }
    TempDir dir;
    const std::uint16_t port = UdpSocket().port();  // free once the socket is gone
    const std::string endpoint = "127.0.0.1:" + std::to_string(port);
    Child activator(
        {activate(), "--datagram", "-l", endpoint, GetParam(), "--port", "1", "--keep-free", "0", dir.path().string()});
    while (const auto line = activator.readErrLine()) {
        if (line->starts_with("Listening on")) {
            break;
        }
    }
    const Bytes report = toBytes("activated");

    UdpSocket().sendTo(port, makeFrame(report));

    std::optional<std::string> line;
    while ((line = activator.readErrLine()) && !line->starts_with("listening on ")) {
    }
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->starts_with("listening on " + endpoint + ", ")) << *line;
    const auto stored = activator.readOutLine();
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->starts_with("stored ")) << *stored;
    activator.signal(SIGTERM);
    EXPECT_EQ(activator.wait().status, 0);
    EXPECT_EQ(storedIn(dir.path()), std::vector<std::string>{"activated"});
}

// A typo in the options of a socket-activated collector: had it exited,
// each datagram would start it again until systemd closed the port. It
// says what is wrong, tells systemd that it runs without serving, and
// holds on until it is stopped; the reports wait in the socket.
TEST_P(CollectorUnderSystemd, HoldsOnWithoutServingAfterATypoUnderSocketActivation)
{
    if (!fs::exists(activate())) {
        GTEST_SKIP() << activate() << " is not installed";
    }
    TempDir dir;
    const NotifySocket manager(dir.path() / "notify");
    const std::uint16_t port = UdpSocket().port();
    Child activator({activate(), "--datagram", "-l", "127.0.0.1:" + std::to_string(port), "-E",
                     "NOTIFY_SOCKET=" + (dir.path() / "notify").string(), "-E", "WATCHDOG_USEC=400000", GetParam(),
                     "--allow", "10.0.0.0/33", dir.path().string()});
    while (const auto line = activator.readErrLine()) {
        if (line->starts_with("Listening on")) {
            break;
        }
    }
    UdpSocket().sendTo(port, makeFrame(toBytes("waits")));

    const auto ready = manager.next("READY=1");
    ASSERT_TRUE(ready) << "the collector did not hold on";
    EXPECT_TRUE(ready->starts_with("READY=1\nSTATUS=not serving: invalid --allow \"10.0.0.0/33\"")) << *ready;
    EXPECT_TRUE(manager.next("WATCHDOG=1", 1s)) << "no keep-alive while holding on";
    activator.signal(SIGTERM);
    EXPECT_TRUE(manager.next("STOPPING=1"));
    const ExitResult result = activator.wait();
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("not serving the socket that systemd passed until the options are mended"),
              std::string::npos) << result.err;
    EXPECT_FALSE(fs::exists(dir.path() / ".index.sqlite")) << "the store was opened";
}

INSTANTIATE_TEST_SUITE_P(Builds, CollectorUnderSystemd, testing::Values(kCollector, kCollectorWithoutLibsystemd),
                         [](const testing::TestParamInfo<std::string>& param) {
                             return param.index == 0 ? "AsBuilt" : "WithoutLibsystemd";
                         });

// Reports sent one after the other, with pauses, to a collector that runs a
// command for news of crash groups: the news lines it writes and what the
// command saw.
struct News {
    const char* name;
    std::vector<std::string> args;
    // Crashing function, pause after (after the last: the last command's
    // time to run).
    std::vector<std::pair<std::string, std::chrono::milliseconds>> sends;
    std::vector<std::string> lines;    // the news and failure lines, in order (each a line's start)
    std::vector<std::string> commands;  // what each command run saw: event and title
    friend void PrintTo(const News& news, std::ostream* out) { *out << news.name; }
};

class CollectorTells : public testing::TestWithParam<News> {};

std::string crashIn(const std::string& function)
{
    return "signal 11 (SIGSEGV)\n#0  0x00000000004011a6 in " + function + " (app.c:12)\n";
}

TEST_P(CollectorTells, OfNewAndRegressedCrashGroupsOnly)
{
    const News& news = GetParam();
    TempDir dir;
    const std::string seen = (dir.path() / "seen").string();
    auto args = news.args;
    for (auto& arg : args) {
        if (const auto at = arg.find("{seen}"); at != std::string::npos) {
            arg.replace(at, 6, seen);
        }
    }
    RunningCollector collector(dir.path() / "reports", {.args = args});
    for (const auto& [function, pause] : news.sends) {
        UdpSocket().sendTo(collector.port(), makeFrame(toBytes(crashIn(function))));
        collector.nextStoredPath();
        std::this_thread::sleep_for(pause);
    }

    const ExitResult result = collector.stop();

    std::vector<std::string> lines;
    std::istringstream err(result.err);
    for (std::string line; std::getline(err, line);) {
        if (line.find("crash group") != std::string::npos) {
            lines.push_back(line);
        }
    }
    ASSERT_EQ(lines.size(), news.lines.size()) << result.err;
    for (std::size_t index = 0; index < lines.size(); ++index) {
        EXPECT_TRUE(lines[index].starts_with(news.lines[index])) << lines[index];
    }
    std::vector<std::string> commands;
    if (fs::exists(seen)) {
        std::istringstream file(readText(seen));
        for (std::string line; std::getline(file, line);) {
            commands.push_back(line);
        }
    }
    EXPECT_EQ(commands, news.commands);
}

const std::string kRecord = R"(printf '%s %s\n' "$CRASH_EVENT" "$CRASH_TITLE" >>{seen}; test -n "$CRASH_GROUP" && test -n "$CRASH_REPORT" && test -n "$CRASH_SENDER")";

const News kNews[] = {
    {"NewGroupsAndNotTheirLaterReports",
     {"--on-new-group", kRecord},
     {{"parse_header", 0ms}, {"parse_header", 0ms}, {"load_config", 500ms}},
     {"new crash group ", "new crash group "},
     {"new SIGSEGV in parse_header", "new SIGSEGV in load_config"}},
    {"AGroupBackAfterItsQuietTime",
     {"--on-new-group", kRecord, "--regressed-after", "1s"},
     {{"parse_header", 0ms}, {"parse_header", 1500ms}, {"parse_header", 500ms}},
     {"new crash group ", "regressed crash group "},
     {"new SIGSEGV in parse_header", "regressed SIGSEGV in parse_header"}},
    {"ACommandThatFails",
     {"--on-new-group", "exit 3"},
     {{"parse_header", 500ms}},
     {"new crash group ", "the command for crash group "},
     {}},
    // Stopped at once, it still tells of the report it stored last.
    {"NewsWithoutACommandWhenStoppedAtOnce", {}, {{"parse_header", 0ms}}, {"new crash group "}, {}},
};

INSTANTIATE_TEST_SUITE_P(Commands, CollectorTells, testing::ValuesIn(kNews),
                         [](const testing::TestParamInfo<News>& param) { return param.param.name; });

// A crash function of its own for each index: letters, since numbers are
// left out of signatures.
std::string functionFor(int index)
{
    std::string name = "flood_";
    for (int rest = index; rest != 0 || name.size() == 6; rest /= 26) {
        name += static_cast<char>('a' + rest % 26);
    }
    return name;
}

// Reads standard error until a line holds `part`, for `within` at most,
// keeping the lines read in `seen`; whether one did.
bool readUntil(Child& child, const std::string& part, std::chrono::milliseconds within, std::string& seen)
{
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (std::chrono::steady_clock::now() < deadline) {
        if (const auto line = child.readErrLine(1s)) {
            seen += *line + "\n";
            if (line->find(part) != std::string::npos) {
                return true;
            }
        }
    }
    return false;
}

// One host floods the collector with new crashes while every command is
// slow; a real crash from another host is told at once, and its command
// runs, while the flood's commands are skipped and said to be.
TEST(CollectorTells, AnotherHostsCrashAtOnceWhileOneFloods)
{
    TempDir dir;
    const fs::path other = dir.path() / "other";
    RunningCollector collector(
        dir.path() / "reports",
        {.args = {"--on-new-group", "case $CRASH_SENDER in 127.0.0.2:*) touch " + other.string() + ";; *) sleep 5;; esac"}});
    const UdpSocket flooder;
    constexpr int kFlood = 6000;
    for (int index = 0; index < kFlood; ++index) {
        flooder.sendTo(collector.port(), makeFrame(toBytes(crashIn(functionFor(index)))));
        if (index % 200 == 199) {
            std::this_thread::sleep_for(10ms);
        }
    }
    std::string seen;
    EXPECT_TRUE(readUntil(collector.child(), "flood_" + functionFor(kFlood - 1).substr(6) + " ", 30s, seen));
    UdpSocket(0, "127.0.0.2").sendTo(collector.port(), makeFrame(toBytes(crashIn("real_crash"))));

    EXPECT_TRUE(readUntil(collector.child(), "from 127.0.0.2:", 5s, seen));
    for (int tries = 0; tries < 50 && !fs::exists(other); ++tries) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(fs::exists(other)) << "the other host's command did not run";
    const ExitResult result = collector.stop();
    seen += result.err;
    EXPECT_EQ(occurrences(seen, "new crash group "), static_cast<std::size_t>(kFlood + 1));
    EXPECT_EQ(occurrences(seen, "of crash group news"), 0u) << "news dropped";
    EXPECT_GE(occurrences(seen, "skipped the command for "), 1u);
}

// With --page, the site shows every group stored, once the page's wait
// between writes is over, without a report after them.
TEST(CollectorKeepsAPage, ThatShowsTheGroupsOfTheLastBurst)
{
    TempDir dir;
    const std::filesystem::path site = dir.path() / "site";
    RunningCollector collector(dir.path() / "reports", {.args = {"--page", site.string()}});
    const std::vector<std::string> functions{"parse_header", "load_config", "draw_frame"};
    for (const auto& function : functions) {
        UdpSocket().sendTo(collector.port(), makeFrame(toBytes(crashIn(function))));
    }
    for (std::size_t stored = 0; stored < functions.size(); ++stored) {
        collector.nextStoredPath();
    }

    std::string page;
    const auto showsAll = [&] {
        return std::ranges::all_of(functions, [&](const std::string& function) { return page.find(function) != std::string::npos; });
    };
    for (int tries = 0; tries < 150 && !showsAll(); ++tries) {
        std::this_thread::sleep_for(100ms);
        if (std::filesystem::exists(site / "index.html")) {
            page = readText(site / "index.html");
        }
    }
    EXPECT_TRUE(showsAll()) << page.substr(0, 2000);
    EXPECT_EQ(collector.stop().status, 0);
}

}  // namespace
