// Black-box tests of sendUnitCrashReport as configured for the tests' sender,
// run with stand-ins for systemd's commands: only they, the sender and the
// coreutils a script like it may use are on its PATH.

#include "BuildConfig.h"
#include "TestSupport.h"
#include "common/FrameFormat.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace test_support;
namespace fs = std::filesystem;

constexpr std::uint16_t kCollectorPort = TEST_COLLECTOR_PORT;
const std::string kSender = SENDER_PATH;
const std::string kUnitReportScript = UNIT_REPORT_SCRIPT;
// The host the tests' sender is built for.
const std::string kCollector = "localhost:" + std::to_string(kCollectorPort);
constexpr auto kNothingMore = 300ms;

using StandIns = std::map<std::string, std::string>;  // command: its shell script

// A directory to be all of PATH: the script beside the sender, the stand-ins,
// and the few other commands a script like it may need.
fs::path makeCommands(const TempDir& dir, const StandIns& standIns)
{
    const auto bin = dir.path() / "bin";
    fs::create_directory(bin);
    fs::copy_file(kUnitReportScript, bin / "sendUnitCrashReport");
    fs::create_symlink(kSender, bin / "sendCrashReport");
    for (const char* command :
         {"cat", "date", "dirname", "head", "mktemp", "rm", "seq", "sleep", "tail", "timeout", "uname", "wc"}) {
        fs::create_symlink(fs::path("/usr/bin") / command, bin / command);
    }
    for (const auto& [command, script] : standIns) {
        const auto path = bin / command;
        std::ofstream(path) << "#!/bin/sh\n" << script << "\n";
        fs::permissions(path, fs::perms::owner_all);
    }
    return bin;
}

// The script's run with `args`, the stand-ins and a temporary directory of
// its own, dir/tmp.
ExitResult runScript(const TempDir& dir, const StandIns& standIns, const std::vector<std::string>& args,
                     std::vector<std::string> env = {}, std::chrono::milliseconds timeout = 30s)
{
    const auto bin = makeCommands(dir, standIns);
    fs::create_directory(dir.path() / "tmp");
    std::vector<std::string> argv{(bin / "sendUnitCrashReport").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    env.push_back("PATH=" + bin.string());
    env.push_back("TMPDIR=" + (dir.path() / "tmp").string());
    return run(argv, {.env = env, .timeout = timeout});
}

const std::string kInvocationId = "5c1d2e3f4a5b6c7d8e9f0a1b2c3d4e5f";

// systemctl as systemd's: a unit name that begins with "-" is an unknown
// option unless "--" comes first. `show` answers LoadState and InvocationID,
// and `status` runs `status`.
std::string systemctl(const std::string& status, const std::string& invocationId = kInvocationId,
                      const std::string& loadState = "loaded")
{
    return R"sh(for arg; do
    case $arg in
    --) break ;;
    -p | --value | --no-pager) ;;
    -*) echo "systemctl: invalid option -- '$arg'" >&2; exit 1 ;;
    esac
done
case $1 in
show)
    case " $* " in
    *" LoadState "*) echo ')sh"
        + loadState + R"sh(' ;;
    *" InvocationID "*) echo ')sh"
        + invocationId + R"sh(' ;;
    *" ExecStart "*) echo '{ path=/usr/bin/myapp ; argv[]=/usr/bin/myapp --serve ; ignore_errors=no }' ;;
    esac ;;
status) )sh"
        + status + R"sh( ;;
esac)sh";
}

// journalctl as systemd's for a unit that ran once and then failed: all of
// it, or the failed run's lines alone when matched by its invocation id, each
// line in local time unless asked for ISO 8601 in UTC.
const std::string kJournal = R"sh(iso=no utc=no
for arg; do
    case $arg in short-iso-precise) iso=yes ;; --utc) utc=yes ;; esac
done
line() { if [ $iso$utc = yesyes ]; then echo "$1 $3"; else echo "$2 $3"; fi; }
case " $* " in
*" _SYSTEMD_INVOCATION_ID=)sh" + kInvocationId + R"sh( "*) ;;
*) line 2026-11-30T08:00:00.000000+00:00 'Nov 30 09:00:00' 'host myapp[41]: started, the run before' ;;
esac
line 2026-12-01T09:59:58.123456+00:00 'Dec 01 10:59:58' 'host myapp[42]: segfault at 0x18')sh";

// A command that hangs, and ignores SIGTERM.
const std::string kHang = "trap '' TERM; sleep 1000";

struct UnitReport {
    const char* name;
    StandIns standIns;
    std::vector<std::string> expected;  // text the report holds
    std::string unit = "myapp.service";
    std::vector<std::string> env = {};
    std::chrono::milliseconds within = 30s;  // killed past it
    friend void PrintTo(const UnitReport& report, std::ostream* out) { *out << report.name; }
};

class SendUnitCrashReport : public testing::TestWithParam<UnitReport> {};

TEST_P(SendUnitCrashReport, SendsOneDatagramThatFitsSaysSoAndLeavesNothing)
{
    const UnitReport& unitReport = GetParam();
    TempDir dir;
    UdpSocket collector(kCollectorPort);

    const ExitResult result = runScript(dir, unitReport.standIns, {unitReport.unit}, unitReport.env, unitReport.within);

    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    const auto datagram = collector.receive();
    ASSERT_TRUE(datagram) << "no datagram arrived";
    EXPECT_LE(datagram->payload.size(), frame_format::kMaxDatagramPayload);
    const auto inflated = inflateStream(streamOf(datagram->payload));
    ASSERT_TRUE(inflated);
    const std::string report(inflated->begin(), inflated->end());
    for (const auto& text : unitReport.expected) {
        EXPECT_NE(report.find(text), std::string::npos) << "no \"" << text << "\" in:\n" << report.substr(0, 2000);
    }
    EXPECT_EQ(result.out, "sendUnitCrashReport: " + unitReport.unit + ": crash report of "
                              + std::to_string(report.size()) + " bytes sent to " + kCollector + "\n");
    EXPECT_FALSE(collector.receive(kNothingMore)) << "more than one datagram";
    EXPECT_TRUE(fs::is_empty(dir.path() / "tmp")) << "the temporary files are left";
}

const std::string kStatus = R"sh(echo "x myapp.service - My app"; echo "     Active: failed (Result: core-dump)")sh";
const std::string kCore = R"sh(echo "Signal: 11 (SEGV)"; echo "#0 0x18 render::Scene::draw")sh";
const std::string kSegfault = "echo 'myapp[4242]: segfault at 0x18'";
const std::string kFailedRun = "2026-12-01T09:59:58.123456+00:00 host myapp[42]: segfault at 0x18\n";

const UnitReport kUnitReports[] = {
    {"EverySectionWithItsText",
     {{"systemctl", systemctl(kStatus)}, {"journalctl", kSegfault}, {"coredumpctl", kCore}},
     {"=== crash report ===\nhost: ", "\nunit: myapp.service\ntime: 20", "\nkernel: ",
      "=== systemctl status myapp.service ===\nx myapp.service - My app\n     Active: failed (Result: core-dump)\n",
      "=== journal of myapp.service ===\nmyapp[4242]: segfault at 0x18\n",
      "=== core dump of myapp.service ===\nSignal: 11 (SEGV)\n#0 0x18 render::Scene::draw\n"}},
    {"FiveMegabyteJournalKeepsItsNewestLines",
     {{"systemctl", systemctl(kStatus)},
      {"journalctl", "seq -f 'myapp[4242]: request %06g served from cache shard 7 of the frontend pool' 1 70000"},
      {"coredumpctl", kCore}},
     {"oldest journal lines dropped to fit one datagram)\n",
      "request 069999 served from cache shard 7 of the frontend pool\n"
      "myapp[4242]: request 070000 served from cache shard 7 of the frontend pool\n=== core dump",
      "Signal: 11 (SEGV)"}},
    {"VersionOfThePackageOfTheUnitsExecutable",
     {{"systemctl", systemctl(kStatus)}, {"journalctl", kSegfault},
      {"dpkg-query", R"sh(case "$1 $2" in "-S /usr/bin/myapp") echo "myapp:amd64: /usr/bin/myapp" ;;
"-W -f") [ "$4" = myapp:amd64 ] && printf '2.4.1-3' ;; esac)sh"}},
     {"\nkernel: ", "\nVersion: 2.4.1-3\n=== systemctl status myapp.service ==="}},
    {"NoCoredumpctl",
     {{"systemctl", systemctl(kStatus)}, {"journalctl", kSegfault}},
     {"=== core dump of myapp.service ===\n(coredumpctl is not installed: no core dump information)\n"}},
    {"SilentCommands",
     {{"systemctl", systemctl("exit 3")},
      {"journalctl", "echo 'No entries' >&2"},
      {"coredumpctl", "echo 'No coredumps found.' >&2; exit 1"}},
     {"(no answer from systemctl status --no-pager -- myapp.service)",
      "(no answer from journalctl --no-pager -n 2000 -o short-iso-precise --utc -- _SYSTEMD_INVOCATION_ID="
          + kInvocationId + " + INVOCATION_ID=" + kInvocationId + ": No entries)",
      "(no core dump of myapp.service)"}},
    {"UnitStartingWithDashKeepsItsStatus",
     {{"systemctl", systemctl("echo 'x -.mount - Root Mount'")}, {"journalctl", kSegfault}},
     {"=== systemctl status -.mount ===\nx -.mount - Root Mount\n"},
     "-.mount"},
    {"BackslashesOfTheUnitNameKeptAsWritten",
     {{"systemctl", systemctl(kStatus)}, {"journalctl", kSegfault}},
     {"\nunit: my\\x2dapp\\new.service\n", "=== systemctl status my\\x2dapp\\new.service ===\n",
      "=== journal of my\\x2dapp\\new.service ===\n", "=== core dump of my\\x2dapp\\new.service ===\n"},
     "my\\x2dapp\\new.service"},
    {"JournalOfTheFailedRunAloneInUtc",
     {{"systemctl", systemctl(kStatus)}, {"journalctl", kJournal}, {"coredumpctl", kCore}},
     {"=== journal of myapp.service ===\n" + kFailedRun + "=== core dump"}},
    {"JournalOfEveryRunWithoutAnInvocationIdSaysSo",
     {{"systemctl", systemctl(kStatus, "")}, {"journalctl", kJournal}, {"coredumpctl", kCore}},
     {"=== journal of myapp.service ===\n(no invocation id of myapp.service: the journal of every run)\n"
      "2026-11-30T08:00:00.000000+00:00 host myapp[41]: started, the run before\n"
          + kFailedRun + "=== core dump"}},
    {"HangingCommandsAreKilledWithinTheBudget",
     {{"systemctl", kHang}, {"journalctl", kHang}, {"coredumpctl", kHang}},
     {"=== systemctl status myapp.service ===\n(systemctl status --no-pager -- myapp.service timed out after 0.42 s)\n",
      "=== journal of myapp.service ===\n(no invocation id of myapp.service: the journal of every run)\n"
      "(journalctl --no-pager -n 2000 -o short-iso-precise --utc --unit=myapp.service timed out after 0.9 s)\n",
      "=== core dump of myapp.service ===\n"
      "(coredumpctl info --no-pager -1 -- COREDUMP_UNIT=myapp.service timed out after 0.6 s)\n"},
     "myapp.service",
     {"SEND_UNIT_REPORT_TIMEOUT=3"},
     10s},
};

INSTANTIATE_TEST_SUITE_P(StandIns, SendUnitCrashReport, testing::ValuesIn(kUnitReports),
                         [](const testing::TestParamInfo<UnitReport>& param) { return param.param.name; });

// A run that ends without a report: its arguments, what systemctl does, and
// what it must answer.
struct NoReport {
    const char* name;
    std::vector<std::string> args;
    std::string systemctl;
    int status;
    std::string outStart;  // what standard output begins with
    std::string err;
    friend void PrintTo(const NoReport& noReport, std::ostream* out) { *out << noReport.name; }
};

class SendUnitCrashReportSendsNothing : public testing::TestWithParam<NoReport> {};

TEST_P(SendUnitCrashReportSendsNothing, AnswersWithItsStatusAndLeavesNothing)
{
    const NoReport& noReport = GetParam();
    TempDir dir;
    UdpSocket collector(kCollectorPort);

    const ExitResult result = runScript(dir, {{"systemctl", noReport.systemctl}}, noReport.args);

    EXPECT_EQ(result.status, noReport.status);
    EXPECT_TRUE(result.out.starts_with(noReport.outStart)) << result.out;
    EXPECT_EQ(result.err, noReport.err);
    EXPECT_FALSE(collector.receive(kNothingMore)) << "a datagram was sent";
    EXPECT_TRUE(fs::is_empty(dir.path() / "tmp")) << "the temporary files are left";
}

const NoReport kNoReports[] = {
    {"HelpIsNoUnit", {"--help"}, systemctl(kStatus), 0, "usage: sendUnitCrashReport UNIT\n", ""},
    {"ShortHelpIsNoUnit", {"-h"}, systemctl(kStatus), 0, "usage: sendUnitCrashReport UNIT\n", ""},
    {"VersionIsNoUnit", {"--version"}, systemctl(kStatus), 0, std::string("sendUnitCrashReport ") + build_config::kVersion + "\n", ""},
    {"UnknownOptionIsAUsageError", {"--verbose"}, systemctl(kStatus), 2, "",
     "sendUnitCrashReport: unknown option \"--verbose\" (see --help)\n"},
    {"UnitSystemdDoesNotKnow", {"nosuch.service"}, systemctl(kStatus, kInvocationId, "not-found"), 1, "",
     "sendUnitCrashReport: nosuch.service: systemd does not know the unit (LoadState=not-found)\n"},
    {"SystemctlThatCannotAnswer", {"myapp.service"},
     "echo 'Failed to connect to bus: No such file or directory' >&2; exit 1", 1, "",
     "sendUnitCrashReport: myapp.service: systemctl show can't tell whether systemd knows the unit: "
     "Failed to connect to bus: No such file or directory\n"},
};

INSTANTIATE_TEST_SUITE_P(StandIns, SendUnitCrashReportSendsNothing, testing::ValuesIn(kNoReports),
                         [](const testing::TestParamInfo<NoReport>& param) { return param.param.name; });

}  // namespace
