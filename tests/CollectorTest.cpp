// Black-box tests of collectCrashReports: the real binary on loopback, fed by
// the real sendCrashReport and by hand-made datagrams.

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <regex>

namespace {

using namespace test_support;
namespace fs = std::filesystem;

const std::string kCollector = COLLECTOR_PATH;
const std::string kSender = SENDER_PATH;
constexpr std::uint16_t kCollectorPort = COLLECTOR_PORT;

// A collector serving on 127.0.0.1, started with `args` before its directory.
class RunningCollector {
public:
    RunningCollector(const fs::path& directory, std::vector<std::string> args = {}, std::uint16_t port = 0)
        : child_(commandLine(directory, std::move(args), port))
    {
        static const std::regex listening(R"(listening on 127\.0\.0\.1:(\d+))");
        while (const auto line = child_.readErrLine()) {
            if (std::smatch match; std::regex_match(*line, match, listening)) {
                port_ = static_cast<std::uint16_t>(std::stoi(match[1]));
                return;
            }
        }
        throw std::runtime_error("the collector did not start listening");
    }

    std::uint16_t port() const { return port_; }
    Child& child() { return child_; }

    // Waits for the next "stored" line; the stored path, or empty.
    fs::path nextStoredPath()
    {
        static const std::regex stored(R"(stored (\S+) \((\d+) bytes from 127\.0\.0\.1:\d+\))");
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
    static std::vector<std::string> commandLine(const fs::path& directory, std::vector<std::string> args,
                                                std::uint16_t port)
    {
        std::vector<std::string> argv{kCollector, "--bind", "127.0.0.1", "--port", std::to_string(port)};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(directory.string());
        return argv;
    }

    Child child_;
    std::uint16_t port_ = 0;
};

void expectOnlyReports(const fs::path& directory, std::size_t count)
{
    const auto files = filesIn(directory);
    EXPECT_EQ(files.size(), count);
    for (const auto& file : files) {
        EXPECT_EQ(file.extension(), ".report") << file << " is not a stored report";
    }
}

TEST(CollectorEndToEnd, StoresReportsFromTheSenderByteForByte)
{
    TempDir dir;
    const std::vector<Bytes> reports{toBytes("abc"), randomBytes(2000), toBytes(makeCrashLog(1 << 20))};
    RunningCollector collector(dir.path() / "reports", {"--count", "3"}, kCollectorPort);

    for (std::size_t index = 0; index < reports.size(); ++index) {
        const auto path = dir.write("report" + std::to_string(index), reports[index]);
        ASSERT_EQ(run({kSender, path.string()}).status, 0);
        const fs::path stored = collector.nextStoredPath();
        EXPECT_EQ(readFile(stored), reports[index]);
        EXPECT_EQ(stored.parent_path(), dir.path() / "reports");
    }

    const ExitResult result = collector.child().wait();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("summary: received 3, stored 3, rejected 0, failed to store 0"), std::string::npos)
        << result.err;
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
    EXPECT_NE(result.err.find("summary: received 5, stored 1, rejected 4, failed to store 0"), std::string::npos)
        << result.err;
    expectOnlyReports(dir.path(), 1);
}

TEST(CollectorEndToEnd, StoresAWholeBurstOfTwoThousandFrames)
{
    constexpr int kBurst = 2000;
    TempDir dir;
    RunningCollector collector(dir.path() / "reports", {"--count", std::to_string(kBurst)});
    const UdpSocket peer;
    std::vector<std::string> sent;
    std::vector<Bytes> frames;
    for (int index = 0; index < kBurst; ++index) {
        sent.push_back(makeCrashLog(1024, static_cast<unsigned>(index)));
        frames.push_back(makeFrame(toBytes(sent.back())));
    }

    for (const auto& frame : frames) {
        peer.sendTo(collector.port(), frame);
    }

    const ExitResult result = collector.child().wait(120s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find("stored 2000, rejected 0"), std::string::npos) << result.err;
    std::vector<std::string> stored;
    for (const auto& file : filesIn(dir.path() / "reports")) {
        const Bytes content = readFile(file);
        stored.emplace_back(content.begin(), content.end());
    }
    std::ranges::sort(sent);
    std::ranges::sort(stored);
    EXPECT_TRUE(stored == sent) << "stored " << stored.size() << " of " << kBurst;
}

TEST(CollectorEndToEnd, KeepsServingWhenItsDirectoryIsRemoved)
{
    TempDir dir;
    RunningCollector collector(dir.path() / "reports");
    const UdpSocket peer;
    fs::remove(dir.path() / "reports");

    peer.sendTo(collector.port(), makeFrame(toBytes("report")));
    const auto line = collector.child().readErrLine();
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->starts_with("can't store report from 127.0.0.1:")) << *line;
    EXPECT_NE(line->find("No such file or directory"), std::string::npos) << *line;

    const ExitResult result = collector.stop();
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("summary: received 1, stored 0, rejected 0, failed to store 1"), std::string::npos)
        << result.err;
}

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

const Refusal kRefusals[] = {
    {"DirectoryThatCantBeCreated",
     [](const TempDir& dir) {
         return std::vector<std::string>{(dir.write("file", "x") / "reports").string()};
     },
     1, "collectCrashReports: can't create report directory "},
    {"PortInUse",
     [](const TempDir& dir) {
         return std::vector<std::string>{"--bind", "127.0.0.1", "--port", "{port}", dir.path().string()};
     },
     1, "collectCrashReports: can't bind 127.0.0.1:{port}: Address already in use"},
    {"UnknownOption", [](const TempDir& dir) { return std::vector<std::string>{"--verbose", dir.path().string()}; }, 2,
     "collectCrashReports: unknown option \"--verbose\""},
    {"PortOutOfRange", [](const TempDir& dir) { return std::vector<std::string>{"--port", "65536", dir.path().string()}; },
     2, "collectCrashReports: invalid --port \"65536\""},
    {"SizeNotANumber",
     [](const TempDir& dir) { return std::vector<std::string>{"--max-report-size=12k", dir.path().string()}; }, 2,
     "collectCrashReports: invalid --max-report-size \"12k\""},
    {"AddressNotIPv4", [](const TempDir& dir) { return std::vector<std::string>{"--bind", "::1", dir.path().string()}; },
     2, "collectCrashReports: invalid --bind \"::1\""},
    {"NoDirectory", [](const TempDir&) { return std::vector<std::string>{"--port", "0"}; }, 2,
     "collectCrashReports: missing DIRECTORY"},
};

INSTANTIATE_TEST_SUITE_P(Failures, CollectorRefuses, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<Refusal>& param) { return param.param.name; });

TEST(CollectorHelp, PrintsUsageAndExitsZero)
{
    const ExitResult result = run({kCollector, "--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.out.starts_with("usage: collectCrashReports ")) << result.out;
    EXPECT_EQ(result.err, "");
}

}  // namespace
