// Black-box tests of collectCrashReports: the real binary on loopback, fed by
// the real sendCrashReport and by hand-made datagrams.

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

namespace {

using namespace test_support;
namespace fs = std::filesystem;

const std::string kCollector = COLLECTOR_PATH;
const std::string kSender = SENDER_PATH;
const std::string kFailCalls = FAIL_CALLS_PATH;
constexpr std::uint16_t kCollectorPort = COLLECTOR_PORT;

// How a collector is started: options before its directory, its port, and
// the process around it.
struct Setup {
    std::vector<std::string> args;
    std::uint16_t port = 0;
    ProcessOptions process;
    std::vector<std::string> wrapper;  // a command that runs the collector, e.g. prlimit
};

// The environment that preloads fail_calls with `call` chosen.
std::vector<std::string> failingCall(const std::string& call)
{
    return {"LD_PRELOAD=" + kFailCalls, "FAIL_CALL=" + call, "ASAN_OPTIONS=verify_asan_link_order=0"};
}

// A collector serving on 127.0.0.1.
class RunningCollector {
public:
    explicit RunningCollector(const fs::path& directory, Setup setup = {})
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

    std::uint16_t port() const { return port_; }
    Child& child() { return child_; }
    // What it wrote to standard error before it listened.
    const std::string& startLines() const { return startLines_; }

    // Waits for the next "stored" line; the stored path, or empty.
    fs::path nextStoredPath()
    {
        static const std::regex stored(R"(stored (\S+) \((\d+) bytes? from 127\.0\.0\.1:\d+\))");
        const auto line = child_.readOutLine(30s);
        std::smatch match;
        if (!line || !std::regex_match(*line, match, stored)) {
            ADD_FAILURE() << "expected a stored line, got " << line.value_or("nothing");
            return {};
        }
        return fs::path(match[1].str());
    }

    ExitResult stop()
    {
        child_.signal(SIGTERM);
        return child_.wait();
    }

private:
    static std::vector<std::string> commandLine(const fs::path& directory, const Setup& setup)
    {
        // No free space kept by default: the tests pass on a nearly full disk
        // too. Options of the test's own come later and win.
        std::vector<std::string> argv = setup.wrapper;
        argv.insert(argv.end(),
                    {kCollector, "--bind", "127.0.0.1", "--port", std::to_string(setup.port), "--keep-free", "0"});
        argv.insert(argv.end(), setup.args.begin(), setup.args.end());
        argv.push_back(directory.string());
        return argv;
    }

    Child child_;
    std::uint16_t port_ = 0;
    std::string startLines_;
};

// The counts of the summary line in `err`: "received", "stored", "dropped"...
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
    const auto files = filesIn(directory);
    EXPECT_EQ(files.size(), count);
    for (const auto& file : files) {
        EXPECT_EQ(file.extension(), ".report") << file << " is not a stored report";
    }
}

// Distinct crash logs of 0.2 to 3 KiB, as a storm of them would be.
std::vector<std::string> stormOf(int count)
{
    std::vector<std::string> reports;
    for (int index = 0; index < count; ++index) {
        reports.push_back(makeCrashLog(200 + static_cast<std::size_t>(index * 7919 % 2900), static_cast<unsigned>(index)));
    }
    return reports;
}

void sendAll(const UdpSocket& peer, std::uint16_t port, const std::vector<std::string>& reports)
{
    for (const auto& report : reports) {
        peer.sendTo(port, makeFrame(toBytes(report)));
    }
}

// The contents of the reports stored in `directory`, sorted.
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

TEST(CollectorEndToEnd, StoresReportsFromTheSenderByteForByte)
{
    TempDir dir;
    const std::vector<Bytes> reports{toBytes("abc"), randomBytes(2000), toBytes(makeCrashLog(1 << 20))};
    RunningCollector collector(dir.path() / "reports", {.args = {"--count", "3"}, .port = kCollectorPort});

    for (std::size_t index = 0; index < reports.size(); ++index) {
        const auto path = dir.write("report" + std::to_string(index), reports[index]);
        ASSERT_EQ(run({kSender, path.string()}).status, 0);
        const fs::path stored = collector.nextStoredPath();
        EXPECT_EQ(readFile(stored), reports[index]);
        EXPECT_EQ(stored.parent_path(), dir.path() / "reports");
    }

    const ExitResult result = collector.child().wait();
    EXPECT_EQ(result.status, 0) << result.err;
    const auto summary = summaryOf(result.err);
    EXPECT_EQ(summary.at("received"), 3U);
    EXPECT_EQ(summary.at("stored"), 3U);
    EXPECT_EQ(summary.at("failed to store"), 0U);
    expectOnlyReports(dir.path() / "reports", 3);
}

TEST(CollectorEndToEnd, RejectsHostileDatagramsAndKeepsServing)
{
    TempDir dir;
    RunningCollector collector(dir.path());
    const UdpSocket peer;
    const std::vector<std::pair<Bytes, std::string>> hostile{
        {{}, "shorter than the 4-byte size prefix"},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x78, 0x9C}, "is over the limit"},
        {toBytes(std::string_view("\0\0\0\x10GET / HTTP/1.1\r\n", 20)), "zlib: incorrect header check"},
        {[] {
             Bytes frame = makeFrame(toBytes("abc"));
             frame[3] = 2;
             return frame;
         }(),
         "more than the declared 2 bytes"},
    };

    for (const auto& [payload, reason] : hostile) {
        peer.sendTo(collector.port(), payload);
        const auto line = collector.child().readErrLine();
        ASSERT_TRUE(line);
        EXPECT_TRUE(line->starts_with("rejected 127.0.0.1:" + std::to_string(peer.port()) + ": ")) << *line;
        EXPECT_NE(line->find(reason), std::string::npos) << *line;
    }
    const Bytes report = toBytes(makeCrashLog(5000));
    peer.sendTo(collector.port(), makeFrame(report));
    EXPECT_EQ(readFile(collector.nextStoredPath()), report);

    const ExitResult result = collector.stop();
    EXPECT_EQ(result.status, 0);
    const auto summary = summaryOf(result.err);
    EXPECT_EQ(summary.at("received"), 5U);
    EXPECT_EQ(summary.at("stored"), 1U);
    EXPECT_EQ(summary.at("rejected"), 4U);
    expectOnlyReports(dir.path(), 1);
}

TEST(CollectorEndToEnd, StoresAWholeStormThroughAReceiveBufferOfAStockHost)
{
    constexpr int kStorm = 2000;
    TempDir dir;
    RunningCollector collector(dir.path() / "reports", {.args = {"--count", std::to_string(kStorm)},
                                                        .process = {.env = failingCall("clamp_rcvbuf")}});
    const UdpSocket peer;
    std::vector<std::string> sent = stormOf(kStorm);

    sendAll(peer, collector.port(), sent);

    const ExitResult result = collector.child().wait(120s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(collector.startLines().starts_with("warning: receive buffer is 425984 bytes"))
        << collector.startLines();
    std::ranges::sort(sent);
    const auto stored = storedIn(dir.path() / "reports");
    EXPECT_TRUE(stored == sent) << "stored " << stored.size() << " of " << kStorm << "\n" << result.err;
}

TEST(CollectorEndToEnd, LeavesOnlyWholeReportsWhenKilledInABurst)
{
    TempDir dir;
    const std::vector<std::string> sent = stormOf(1000);
    {
        RunningCollector killed(dir.path());
        const UdpSocket peer;
        sendAll(peer, killed.port(), sent);
        killed.nextStoredPath();
        killed.child().signal(SIGKILL);
        killed.child().wait();
    }

    RunningCollector restarted(dir.path());
    const UdpSocket peer;
    peer.sendTo(restarted.port(), makeFrame(toBytes(sent.front())));
    restarted.nextStoredPath();
    EXPECT_EQ(restarted.stop().status, 0);

    const std::set<std::string> whole(sent.begin(), sent.end());
    const auto stored = storedIn(dir.path());
    EXPECT_GE(stored.size(), 2U);
    for (const auto& report : stored) {
        EXPECT_TRUE(whole.contains(report)) << "a stored report is not one that was sent";
    }
    expectOnlyReports(dir.path(), stored.size());
}

TEST(CollectorEndToEnd, ASecondCollectorThatCantBindDisturbsNothing)
{
    constexpr int kBurst = 500;
    TempDir dir;
    RunningCollector first(dir.path(), {.args = {"--count", std::to_string(kBurst)}});
    const UdpSocket peer;
    const std::vector<std::string> sent = stormOf(kBurst);
    sendAll(peer, first.port(), std::vector(sent.begin(), sent.begin() + kBurst / 2));

    const ExitResult second = run({kCollector, "--bind", "127.0.0.1", "--port", std::to_string(first.port()),
                                   dir.path().string()});
    sendAll(peer, first.port(), std::vector(sent.begin() + kBurst / 2, sent.end()));

    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("Address already in use"), std::string::npos) << second.err;
    const ExitResult result = first.child().wait(60s);
    EXPECT_EQ(summaryOf(result.err).at("stored"), static_cast<std::uint64_t>(kBurst)) << result.err;
    expectOnlyReports(dir.path(), kBurst);
}

TEST(CollectorEndToEnd, CollectorsSharingAPortAndDirectoryStoreEveryReport)
{
    TempDir dir;
    RunningCollector first(dir.path(), {.args = {"--reuse-port"}});
    RunningCollector second(dir.path(), {.args = {"--reuse-port"}, .port = first.port()});
    const std::vector<std::string> sent = stormOf(40);

    // From many ports, so that the kernel spreads them over both.
    for (const auto& report : sent) {
        UdpSocket(0).sendTo(first.port(), makeFrame(toBytes(report)));
    }

    const auto firstSummary = summaryOf(first.stop().err);
    const auto secondSummary = summaryOf(second.stop().err);
    EXPECT_EQ(firstSummary.at("stored") + secondSummary.at("stored"), sent.size());
    EXPECT_EQ(storedIn(dir.path()).size(), sent.size());
}

TEST(CollectorEndToEnd, DropsAndCountsWhatTheQueueCantHold)
{
    constexpr int kBurst = 100;
    TempDir dir;
    RunningCollector collector(dir.path(), {.args = {"--queue-size", "64K"},
                                            .process = {.env = failingCall("slow_syncfs")}});
    const UdpSocket peer;
    // Incompressible: each frame costs its 3 KB in the queue.
    for (unsigned index = 0; index < kBurst; ++index) {
        peer.sendTo(collector.port(), makeFrame(randomBytes(3000, index)));
    }
    std::this_thread::sleep_for(1500ms);

    const ExitResult result = collector.stop();
    EXPECT_EQ(result.status, 0);
    const auto summary = summaryOf(result.err);
    EXPECT_GT(summary.at("dropped"), 0U) << result.err;
    EXPECT_EQ(summary.at("stored") + summary.at("dropped"), static_cast<std::uint64_t>(kBurst)) << result.err;
    EXPECT_NE(result.err.find(": the queue of frames to store is full"), std::string::npos) << result.err;
}

// A platform call of the collector's, made to behave as on another system.
class CollectorStoresDespite : public testing::TestWithParam<const char*> {};

TEST_P(CollectorStoresDespite, WholeReportsAndNothingElse)
{
    TempDir dir;
    RunningCollector collector(dir.path(), {.process = {.env = failingCall(GetParam())}});
    const UdpSocket peer;
    const Bytes report = toBytes(makeCrashLog(3000));

    peer.sendTo(collector.port(), makeFrame(report));

    EXPECT_EQ(readFile(collector.nextStoredPath()), report);
    EXPECT_EQ(collector.stop().status, 0);
    expectOnlyReports(dir.path(), 1);
}

// A rename that can't refuse to replace (NFS); a filesystem sync that fails
// for a write error elsewhere on the filesystem.
INSTANTIATE_TEST_SUITE_P(Platforms, CollectorStoresDespite, testing::Values("renameat2", "syncfs"),
                         [](const testing::TestParamInfo<const char*>& param) { return std::string(param.param); });

TEST(CollectorEndToEnd, KeepsStoringWhenItsStandardOutputReaderIsGone)
{
    TempDir dir;
    RunningCollector collector(dir.path(), {.process = {.closedStdout = true}});
    const UdpSocket peer;
    sendAll(peer, collector.port(), stormOf(20));
    for (int wait = 0; wait < 100 && storedIn(dir.path()).size() < 20; ++wait) {
        std::this_thread::sleep_for(50ms);
    }

    const ExitResult result = collector.stop();

    EXPECT_EQ(result.status, 0) << "ended by SIGPIPE?";
    const auto summary = summaryOf(result.err);
    EXPECT_EQ(summary.at("stored"), 20U);
    EXPECT_EQ(summary.at("log lines dropped"), 20U);
}

TEST(CollectorEndToEnd, CountsAReportOverTheFileSizeLimitAsNotStored)
{
    TempDir dir;
    RunningCollector collector(dir.path(), {.wrapper = {"/usr/bin/prlimit", "--fsize=4096", "--"}});
    const UdpSocket peer;

    peer.sendTo(collector.port(), makeFrame(toBytes(makeCrashLog(10000))));
    const auto line = collector.child().readErrLine();
    const Bytes small = toBytes("small report");
    peer.sendTo(collector.port(), makeFrame(small));

    ASSERT_TRUE(line);
    EXPECT_NE(line->find("File too large"), std::string::npos) << *line;
    EXPECT_EQ(readFile(collector.nextStoredPath()), small);
    const ExitResult result = collector.stop();
    EXPECT_EQ(result.status, 0) << "ended by SIGXFSZ?";
    EXPECT_EQ(summaryOf(result.err).at("failed to store"), 1U);
    expectOnlyReports(dir.path(), 1);
}

TEST(CollectorEndToEnd, MakesItsDirectoryAgainWhenItIsRemoved)
{
    TempDir dir;
    RunningCollector collector(dir.path() / "reports");
    const UdpSocket peer;
    fs::remove_all(dir.path() / "reports");

    peer.sendTo(collector.port(), makeFrame(toBytes("report")));
    const auto line = collector.child().readErrLine();
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "report directory " + (dir.path() / "reports").string() + " was removed: made it again");
    EXPECT_EQ(readFile(collector.nextStoredPath()), toBytes("report"));

    const ExitResult result = collector.stop();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(summaryOf(result.err).at("stored"), 1U);
}

// Reports sent from several loopback addresses to a collector that admits
// or keeps only some: what must be left stored and counted.
struct Admission {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::pair<const char*, unsigned>> sends;  // source address, report seed
    std::vector<unsigned> kept;                             // seeds of the reports left stored
    std::map<std::string, std::uint64_t> counts;            // in the summary
    friend void PrintTo(const Admission& admission, std::ostream* out) { *out << admission.name; }
};

class CollectorAdmits : public testing::TestWithParam<Admission> {};

// 3000 bytes of noise: one 4 KiB block on disk, whatever the compressor does.
Bytes reportOf(unsigned seed)
{
    return randomBytes(3000, seed);
}

TEST_P(CollectorAdmits, OnlyWhatItMayAndKeepsTheRest)
{
    const Admission& admission = GetParam();
    TempDir dir;
    RunningCollector collector(dir.path(), {.args = admission.args});

    for (const auto& [address, seed] : admission.sends) {
        UdpSocket(0, address).sendTo(collector.port(), makeFrame(reportOf(seed)));
    }
    const ExitResult result = collector.stop();

    EXPECT_EQ(result.status, 0);
    const auto summary = summaryOf(result.err);
    for (const auto& [name, count] : admission.counts) {
        EXPECT_EQ(summary.at(name), count) << name << "\n" << result.err;
    }
    std::vector<std::string> kept;
    for (const unsigned seed : admission.kept) {
        const Bytes report = reportOf(seed);
        kept.emplace_back(report.begin(), report.end());
    }
    std::ranges::sort(kept);
    EXPECT_TRUE(storedIn(dir.path()) == kept) << result.err;
}

const Admission kAdmissions[] = {
    {"OnlyAllowedNetworks",
     {"--allow", "10.0.0.0/8", "--allow", "127.0.0.2"},
     {{"127.0.0.1", 1}, {"127.0.0.2", 2}, {"127.0.0.3", 3}},
     {2},
     {{"stored", 1}, {"allowlist", 2}, {"refused", 2}}},
    {"AtMostTheLimitFromOneSender",
     {"--per-sender-limit", "2"},
     {{"127.0.0.1", 1}, {"127.0.0.1", 2}, {"127.0.0.1", 3}, {"127.0.0.2", 4}},
     {1, 2, 4},
     {{"stored", 3}, {"per-sender limit", 1}}},
    {"TheFloodersOldestReportMakesRoom",
     {"--max-use", "12K", "--keep-free", "0"},
     {{"127.0.0.1", 1}, {"127.0.0.1", 2}, {"127.0.0.2", 3}, {"127.0.0.3", 4}, {"127.0.0.3", 5}},
     {3, 4, 5},
     {{"stored", 5}, {"removed", 2}}},
    {"NoReportLargerThanTheBudget",
     {"--max-use", "2K", "--keep-free", "0"},
     {{"127.0.0.1", 1}},
     {},
     {{"stored", 0}, {"budget", 1}}},
};

INSTANTIATE_TEST_SUITE_P(Senders, CollectorAdmits, testing::ValuesIn(kAdmissions),
                         [](const testing::TestParamInfo<Admission>& param) { return param.param.name; });

TEST(CollectorEndToEnd, HoldsBackRejectionLinesOfAFlood)
{
    constexpr int kFlood = 250;
    TempDir dir;
    RunningCollector collector(dir.path());
    const UdpSocket peer;
    for (int index = 0; index < kFlood; ++index) {
        peer.sendTo(collector.port(), toBytes("bad"));
    }
    peer.sendTo(collector.port(), makeFrame(toBytes("report")));
    collector.nextStoredPath();

    const ExitResult result = collector.stop();
    const std::regex suppressed(R"(suppressed (\d+) )");
    int lines = 0;
    int held = 0;
    std::istringstream err(result.err);
    for (std::string line; std::getline(err, line);) {
        std::smatch match;
        lines += line.starts_with("rejected ") ? 1 : 0;
        held += std::regex_search(line, match, suppressed) ? std::stoi(match[1]) : 0;
    }
    EXPECT_LT(lines, kFlood);
    EXPECT_EQ(lines + held, kFlood) << result.err;
}

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

TEST(CollectorUnderSystemd, TellsReadinessStatusKeepAliveAndStop)
{
    TempDir dir;
    const NotifySocket manager(dir.path() / "notify");
    RunningCollector collector(dir.path() / "reports",
                               {.process = {.env = {"NOTIFY_SOCKET=" + (dir.path() / "notify").string(),
                                                    "WATCHDOG_USEC=400000"}}});

    const auto ready = manager.next("READY=1");
    ASSERT_TRUE(ready);
    EXPECT_TRUE(ready->starts_with("READY=1\nSTATUS=received 0, stored 0, ")) << *ready;
    EXPECT_TRUE(manager.next("WATCHDOG=1", 1s)) << "no keep-alive within the watchdog's interval";
    collector.child().signal(SIGTERM);
    EXPECT_TRUE(manager.next("STOPPING=1"));
    EXPECT_EQ(collector.child().wait().status, 0);
}

TEST(CollectorUnderSystemd, TakesTheSocketThatSocketActivationPasses)
{
    const std::string activate = "/usr/bin/systemd-socket-activate";
    if (!fs::exists(activate)) {
        GTEST_SKIP() << activate << " is not installed";
    }
    TempDir dir;
    const std::uint16_t port = UdpSocket().port();  // free once the socket is gone
    const std::string endpoint = "127.0.0.1:" + std::to_string(port);
    Child activator(
        {activate, "--datagram", "-l", endpoint, kCollector, "--port", "1", "--keep-free", "0", dir.path().string()});
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

// A run that ends at once: its arguments, status and the start of its one line.
struct Refusal {
    const char* name;
    std::function<std::vector<std::string>(const TempDir&)> args;
    int status;
    std::string errStart;
    friend void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }
};

class CollectorRefuses : public testing::TestWithParam<Refusal> {};

// `text` with its "{port}", if any, replaced by `port`.
std::string withPort(std::string text, std::uint16_t port)
{
    if (const auto at = text.find("{port}"); at != std::string::npos) {
        text.replace(at, 6, std::to_string(port));
    }
    return text;
}

TEST_P(CollectorRefuses, WithOneLineAndItsStatus)
{
    TempDir dir;
    const UdpSocket occupant;  // holds a port for the bind failure
    std::vector<std::string> argv{kCollector};
    for (const auto& arg : GetParam().args(dir)) {
        argv.push_back(withPort(arg, occupant.port()));
    }
    const std::string expected = withPort(GetParam().errStart, occupant.port());

    const ExitResult result = run(argv);

    EXPECT_EQ(result.status, GetParam().status);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with(expected)) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

// The arguments `args` followed by the test's directory.
std::function<std::vector<std::string>(const TempDir&)> withDirectory(std::vector<std::string> args)
{
    return [args](const TempDir& dir) {
        auto all = args;
        all.push_back(dir.path().string());
        return all;
    };
}

const Refusal kRefusals[] = {
    {"DirectoryThatCantBeCreated",
     [](const TempDir& dir) {
         return std::vector<std::string>{"--port", "0", (dir.write("file", "x") / "reports").string()};
     },
     1, "collectCrashReports: can't create report directory "},
    {"PortInUse", withDirectory({"--bind", "127.0.0.1", "--port", "{port}"}), 1,
     "collectCrashReports: can't bind 127.0.0.1:{port}: Address already in use"},
    {"UnknownOption", withDirectory({"--verbose"}), 2, "collectCrashReports: unknown option \"--verbose\""},
    {"PortOutOfRange", withDirectory({"--port", "65536"}), 2, "collectCrashReports: invalid --port \"65536\""},
    {"SizeNotANumber", withDirectory({"--max-report-size=12KB"}), 2,
     "collectCrashReports: invalid --max-report-size \"12KB\""},
    {"SizeOverTheLargestReport", withDirectory({"--max-report-size", "65M"}), 2,
     "collectCrashReports: invalid --max-report-size \"65M\""},
    {"QueueSmallerThanADatagram", withDirectory({"--queue-size", "1K"}), 2,
     "collectCrashReports: invalid --queue-size \"1K\""},
    {"FlagWithAValue", withDirectory({"--reuse-port=yes"}), 2,
     "collectCrashReports: option --reuse-port takes no value"},
    {"AddressNotIPv4", withDirectory({"--bind", "::1"}), 2, "collectCrashReports: invalid --bind \"::1\""},
    {"MalformedNetwork", withDirectory({"--allow", "10.0.0.0/33"}), 2,
     "collectCrashReports: invalid --allow \"10.0.0.0/33\""},
    {"LimitNotACount", withDirectory({"--per-sender-limit", "ten"}), 2,
     "collectCrashReports: invalid --per-sender-limit \"ten\""},
    {"NoDirectory", [](const TempDir&) { return std::vector<std::string>{"--port", "0"}; }, 2,
     "collectCrashReports: missing DIRECTORY"},
};

INSTANTIATE_TEST_SUITE_P(Failures, CollectorRefuses, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<Refusal>& param) { return param.param.name; });

TEST(CollectorHelp, PrintsUsageWithTheSendersPortAndTheVersion)
{
    const ExitResult help = run({kCollector, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("usage: collectCrashReports ")) << help.out;
    EXPECT_NE(help.out.find("(default " + std::to_string(SERVICE_PORT) + ")"), std::string::npos) << help.out;
    EXPECT_EQ(help.err, "");
    const ExitResult version = run({kCollector, "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "collectCrashReports " PROJECT_VERSION "\n");
}

}  // namespace
