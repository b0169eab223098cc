// The collector's runs that end at once: usage errors, start-up failures,
// --help and --version.

#include "CollectorProcess.h"

#include <gtest/gtest.h>

#include "BuildConfig.h"

#include <algorithm>
#include <functional>

namespace {

using namespace collector_tests;

// A run that ends at once: its arguments, status and the start of its one line.
struct Refusal {
    const char* name;
    std::function<std::vector<std::string>(const TempDir&)> args;
    int status;
    std::string errStart;
    std::vector<std::string> wrapper;  // a command that runs the collector
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
    std::vector<std::string> argv = GetParam().wrapper;
    argv.push_back(kCollector);
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
    {"NoStore", [](const TempDir&) { return std::vector<std::string>{"--port", "0"}; }, 2,
     "collectCrashReports: missing STORE"},
#ifndef SANITIZED  // a sanitizer's runtime alone needs more address space
    {"TooLittleMemory", withDirectory({"--bind", "127.0.0.1", "--port", "0"}), 1,
     "collectCrashReports: can't start", {"/usr/bin/prlimit", "--as=40000000", "--"}},
#endif
};

INSTANTIATE_TEST_SUITE_P(Failures, CollectorRefuses, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<Refusal>& param) { return param.param.name; });

TEST(CollectorHelp, PrintsUsageWithTheSendersPortAndTheVersion)
{
    const ExitResult help = run({kCollector, "--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.starts_with("usage: collectCrashReports ")) << help.out;
    EXPECT_NE(help.out.find("(default " + std::to_string(build_config::kCollectorPort) + ")"), std::string::npos)
        << help.out;
    EXPECT_EQ(help.err, "");
    const ExitResult version = run({kCollector, "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("collectCrashReports ") + build_config::kVersion + "\n");
}

TEST(CollectorHelp, FailsWhenItsOutputCantBeWritten)
{
    const ExitResult result = run({"/bin/sh", "-c", "exec \"$0\" --help >/dev/full", kCollector});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "collectCrashReports: can't write to standard output: No space left on device\n");
}

}  // namespace
