// Black-box tests of sendCrashReport: the real binary, a receiver bound on the
// collector port of 127.0.0.1, and the frame checked by inflating it.

#include "TestSupport.h"
#include "common/FrameFormat.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace test_support;

constexpr std::uint16_t kCollectorPort = TEST_COLLECTOR_PORT;
const std::string kSender = SENDER_PATH;
const std::string kUnresolvableSender = UNRESOLVABLE_SENDER_PATH;
const std::string kFailCalls = FAIL_CALLS_PATH;
const std::string kUsage = "Uasage: sendCrashReport <fileName>\n";
constexpr auto kNothingMore = 300ms;

struct Delivery {
    const char* name;
    const char* fileName;  // relative to the run's working directory
    Bytes content;
    friend void PrintTo(const Delivery& delivery, std::ostream* out) { *out << delivery.name; }
};

class SenderDelivers : public testing::TestWithParam<Delivery> {};

TEST_P(SenderDelivers, OneFrameThatInflatesToTheFile)
{
    const Delivery& delivery = GetParam();
    TempDir dir;
    dir.write(delivery.fileName, delivery.content);
    UdpSocket collector(kCollectorPort);

    const ExitResult result = run({kSender, delivery.fileName}, {.cwd = dir.path()});

    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    const auto datagram = collector.receive();
    ASSERT_TRUE(datagram) << "no datagram arrived";
    EXPECT_EQ(datagram->address, "127.0.0.1");
    EXPECT_NE(datagram->port, 0);
    EXPECT_NE(datagram->port, kCollectorPort);
    ASSERT_GE(datagram->payload.size(), frame_format::kPrefixSize);
    EXPECT_EQ(readPrefix(datagram->payload), delivery.content.size());
    const auto report = inflateStream(streamOf(datagram->payload));
    ASSERT_TRUE(report) << "the payload after the prefix is not one whole zlib stream";
    EXPECT_EQ(*report, delivery.content);
    EXPECT_FALSE(collector.receive(kNothingMore)) << "more than one datagram";
}

Bytes allByteValues()
{
    Bytes bytes;
    for (int round = 0; round < 4; ++round) {
        for (int value = 0; value < 256; ++value) {
            bytes.push_back(static_cast<unsigned char>(value));
        }
    }
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Reports, SenderDelivers,
    testing::Values(Delivery{"ThreeBytes", "three.log", toBytes("abc")},
                    Delivery{"ThreeHundredBytes", "300.log", toBytes(makeCrashLog(300))},
                    Delivery{"NulAndBinaryBytes", "binary.dmp", allByteValues()},
                    Delivery{"OneByte", "one.log", toBytes("\n")},
                    Delivery{"PathStartingWithDash", "-report.log", toBytes("-h --help\n")},
                    Delivery{"CrashLogOfOneMiB", "big.log", toBytes(makeCrashLog(1 << 20))}),
    [](const testing::TestParamInfo<Delivery>& param) { return param.param.name; });

TEST(SenderFrame, PrefixIsBigEndian)
{
    TempDir dir;
    const auto path = dir.write("300.log", std::string(300, 'x'));
    UdpSocket collector(kCollectorPort);

    ASSERT_EQ(run({kSender, path}).status, 0);

    const auto datagram = collector.receive();
    ASSERT_TRUE(datagram);
    const Bytes prefix(datagram->payload.begin(), datagram->payload.begin() + frame_format::kPrefixSize);
    EXPECT_EQ(prefix, (Bytes{0x00, 0x00, 0x01, 0x2C}));
}

// A run that must fail: its arguments, the one line it must write and how
// the run is set up.
struct Invocation {
    std::vector<std::string> args;
    std::string err;
    ProcessOptions options;
};

struct Refusal {
    const char* name;
    std::function<Invocation(const TempDir&)> prepare;
    friend void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }
};

class SenderRefuses : public testing::TestWithParam<Refusal> {};

TEST_P(SenderRefuses, WithOneLineAndStatusOneAndNothingSent)
{
    TempDir dir;
    const Invocation invocation = GetParam().prepare(dir);
    UdpSocket collector(kCollectorPort);
    std::vector<std::string> argv{kSender};
    argv.insert(argv.end(), invocation.args.begin(), invocation.args.end());

    const ExitResult result = run(argv, invocation.options);

    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, invocation.err);
    EXPECT_FALSE(collector.receive(kNothingMore)) << "a datagram was sent";
}

std::string pathIn(const TempDir& dir, const char* name)
{
    return (dir.path() / name).string();
}

Invocation sparseFile(const TempDir& dir, std::uintmax_t size)
{
    const auto path = dir.write("sparse.log", "");
    std::filesystem::resize_file(path, size);
    return {{path}, "Too large to send " + path.string() + ": " + std::to_string(size)
                        + " bytes, at most " + std::to_string(frame_format::kMaxReportSize)
                        + " fit one datagram\n"};
}

Invocation withFailingCall(const char* call, std::vector<std::string> args, std::string err)
{
    return {std::move(args), std::move(err),
            {.env = {"LD_PRELOAD=" + kFailCalls, std::string("FAIL_CALL=") + call,
                     "ASAN_OPTIONS=verify_asan_link_order=0"}}};
}

const Refusal kRefusals[] = {
    {"NoArgument", [](const TempDir&) { return Invocation{{}, kUsage}; }},
    {"TwoArguments",
     [](const TempDir& dir) {
         const auto path = dir.write("a.log", "a").string();
         return Invocation{{path, path}, kUsage};
     }},
    {"MissingFile",
     [](const TempDir& dir) {
         const auto path = pathIn(dir, "missing.log");
         return Invocation{{path}, "Can't open " + path + "\n"};
     }},
    {"EmptyFile",
     [](const TempDir& dir) {
         const auto path = dir.write("empty.log", "").string();
         return Invocation{{path}, "Failed to read " + path + "\n"};
     }},
    {"Directory",
     [](const TempDir& dir) {
         const auto path = dir.path().string();
         return Invocation{{path}, "Failed to read " + path + ": Is a directory\n"};
     }},
    {"PipeWithoutSize",
     [](const TempDir&) {
         return Invocation{{"/dev/stdin"}, "Failed to read /dev/stdin: Is a FIFO or pipe\n",
                           {.input = "report through a pipe\n"}};
     }},
    {"FifoWithoutWriterDoesNotHang",
     [](const TempDir& dir) {
         const auto path = pathIn(dir, "crash.fifo");
         if (::mkfifo(path.c_str(), 0600) != 0) {
             throw std::runtime_error("mkfifo " + path);
         }
         return Invocation{{path}, "Failed to read " + path + ": Is a FIFO or pipe\n", {.timeout = 5s}};
     }},
    {"DeviceOfSizeZero", [](const TempDir&) { return Invocation{{"/dev/null"}, "Failed to read /dev/null\n"}; }},
    {"FourGiBWouldWrapThePrefix", [](const TempDir& dir) { return sparseFile(dir, 1ULL << 32); }},
    {"OverFourGiB", [](const TempDir& dir) { return sparseFile(dir, (1ULL << 32) + 3); }},
    {"BeyondAnyDatagram", [](const TempDir& dir) { return sparseFile(dir, frame_format::kMaxReportSize + 1); }},
    {"FrameTooLargeForADatagram",
     [](const TempDir& dir) {
         const auto path = dir.write("noise.dmp", randomBytes(70000)).string();
         return Invocation{{path}, "Can't send " + path + ": Message too long\n"};
     }},
    {"SocketFailsSilentlyBeforeTheFile",
     [](const TempDir& dir) { return withFailingCall("socket", {pathIn(dir, "missing.log")}, ""); }},
    {"BindFailsBeforeTheFile",
     [](const TempDir& dir) {
         return withFailingCall("bind", {pathIn(dir, "missing.log")},
                                "Can't bind port 0 (result -1): Address already in use\n");
     }},
    {"LookupAnswersIPv6",
     [](const TempDir& dir) {
         return withFailingCall("lookup_ipv6", {pathIn(dir, "missing.log")}, "Can't get gost ip \n");
     }},
    {"LookupAnswersNoAddress",
     [](const TempDir& dir) {
         return withFailingCall("lookup_empty", {pathIn(dir, "missing.log")}, "Can't get gost ip \n");
     }},
    {"SendFails",
     [](const TempDir& dir) {
         const auto path = dir.write("a.log", "report").string();
         return withFailingCall("sendto", {path}, "Can't send " + path + ": No buffer space available\n");
     }},
    {"SendIsShort",
     [](const TempDir& dir) {
         const Bytes content = toBytes("report");
         const auto path = dir.write("a.log", content).string();
         const auto frameSize = makeFrame(content).size();
         return withFailingCall("short_sendto", {path},
                                "Can't send " + path + ": sent " + std::to_string(frameSize - 1) + " of "
                                    + std::to_string(frameSize) + " bytes\n");
     }},
};

INSTANTIATE_TEST_SUITE_P(Failures, SenderRefuses, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<Refusal>& param) { return param.param.name; });

// Runs in a network namespace of its own, with only a loopback that is down:
// no lookup or datagram can leave the machine.
class SenderWithoutNetwork : public testing::Test {
protected:
    void SetUp() override
    {
        if (run({"/usr/bin/unshare", "-n", "/bin/true"}).status != 0) {
            GTEST_SKIP() << "can't create a network namespace here";
        }
    }
    static ExitResult runIsolated(const std::string& sender, const std::string& path)
    {
        return run({"/usr/bin/unshare", "-n", sender, path});
    }
};

TEST_F(SenderWithoutNetwork, UnresolvableCollectorStopsBeforeTheFile)
{
    TempDir dir;
    const ExitResult result = runIsolated(kUnresolvableSender, pathIn(dir, "missing.log"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Can't get gost ip \n");
}

TEST_F(SenderWithoutNetwork, UnreachableCollectorIsAFailure)
{
    TempDir dir;
    const auto path = dir.write("a.log", "report").string();
    const ExitResult result = runIsolated(kSender, path);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Can't send " + path + ": Network is unreachable\n");
}

}  // namespace
