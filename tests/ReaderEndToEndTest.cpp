// crashReports end to end: what it tells of a store that the real collector
// filled, as root and as a member of the store's group.

#include "CollectorProcess.h"
#include "StoreWalks.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using namespace collector_tests;
using nlohmann::json;

const std::string kReader = CRASH_REPORTS_PATH;

// Fills `directory` with the reports of three crashes, from two addresses.
void storeThreeCrashes(const fs::path& directory)
{
    RunningCollector collector(directory, {.args = {"--count", "6"}});
    const std::pair<const char*, std::string> sends[] = {
        {"127.0.0.1", crashIn("parse_header", 1)}, {"127.0.0.2", crashIn("parse_header", 2)},
        {"127.0.0.1", crashIn("load_config", 3)},  {"127.0.0.1", crashIn("parse_header", 4)},
        {"127.0.0.1", crashIn("load_config", 5)},  {"127.0.0.3", crashIn("draw_frame", 6)},
    };
    for (const auto& [address, report] : sends) {
        UdpSocket(0, address).sendTo(collector.port(), makeFrame(toBytes(report)));
        collector.nextStoredPath();
    }
    ASSERT_EQ(collector.child().wait().status, 0);
}

// The reports of three crashes in `dir`'s "reports", as the packaged
// collector leaves them: the directory 0750, root's, of group 4242, whose
// members read what it holds.
fs::path storeOfGroup4242(const TempDir& dir)
{
    const fs::path store = dir.path() / "reports";
    storeThreeCrashes(store);
    EXPECT_EQ(::chown(store.c_str(), 0, 4242), 0);
    EXPECT_EQ(::chmod(store.c_str(), 0750), 0);
    ::chmod(dir.path().c_str(), 0755);
    return store;
}

ExitResult read(const fs::path& directory, std::vector<std::string> args, const ProcessOptions& options = {})
{
    args.insert(args.begin(), {kReader, "--store", directory.string()});
    return run(args, options);
}

json readJson(const fs::path& directory, std::vector<std::string> args)
{
    const ExitResult result = read(directory, std::move(args));
    EXPECT_EQ(result.status, 0) << result.err;
    return json::parse(result.out);
}

TEST(ReaderEndToEnd, TellsTheGroupsAndReportsThatTheCollectorStored)
{
    TempDir dir;
    storeThreeCrashes(dir.path());

    const json groups = readJson(dir.path(), {"groups", "--json"});
    ASSERT_EQ(groups.size(), 3U) << groups.dump();
    std::map<std::string, std::pair<int, int>> counts;  // title: count, hosts
    for (const auto& group : groups) {
        counts[group["title"]] = {group["count"], group["hosts"]};
    }
    EXPECT_EQ(counts["SIGSEGV in parse_header"], std::pair(3, 2));
    EXPECT_EQ(counts["SIGSEGV in load_config"], std::pair(2, 1));
    EXPECT_EQ(groups.front()["title"], "SIGSEGV in draw_frame") << "not latest activity first";

    const json reports = readJson(dir.path(), {"list", "--group", groups.front()["group"], "--json"});
    ASSERT_EQ(reports.size(), 1U);
    const ExitResult shown = read(dir.path(), {"show", reports.front()["report"]});
    EXPECT_EQ(shown.out, crashIn("draw_frame", 6));
}

TEST(ReaderEndToEnd, ListsAReportOnceItsStoredLineAppearsInTheMidstOfABurst)
{
    TempDir dir;
    RunningCollector collector(dir.path());
    sendAll(UdpSocket(0), collector.port(), stormOf(1000));

    const std::string first = collector.nextStoredPath().filename();
    EXPECT_NE(read(dir.path(), {"list"}).out.find(first), std::string::npos) << first << " is not in the index";
}

TEST(ReaderEndToEnd, ReindexGivesWhatTheLiveIndexGave)
{
    TempDir dir;
    storeThreeCrashes(dir.path());
    const json groups = readJson(dir.path(), {"groups", "--json"});
    const json reports = readJson(dir.path(), {"list", "--json"});

    const ExitResult reindexed = read(dir.path(), {"reindex"});

    EXPECT_EQ(reindexed.status, 0) << reindexed.err;
    EXPECT_EQ(readJson(dir.path(), {"groups", "--json"}), groups);
    EXPECT_EQ(readJson(dir.path(), {"list", "--json"}), reports);
}

TEST(ReaderEndToEnd, DecisionsHoldThroughNewsReindexAndRestart)
{
    TempDir dir;
    walkDecisions(dir.path().string());
}

TEST(ReaderEndToEnd, ReportsPastTheirAgeGoButEachGroupsNewest)
{
    TempDir dir;
    walkRetention(dir.path().string());
}

TEST(ReaderEndToEnd, ADecisionOfAUserOutsideTheAdministratorsGroupIsRefusedAndChangesNothing)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to decide as another user";
    }
    TempDir dir;
    const fs::path store = storeOfGroup4242(dir);
    const std::string group = readJson(store, {"groups", "--json"}).front()["group"];
    const auto before = fs::file_size(store / ".decisions");

    const ExitResult reader = run({"/usr/bin/setpriv", "--reuid=65534", "--regid=4242", "--clear-groups", "--",
                                   kReader, "--store", store.string(), "fix", group});

    EXPECT_EQ(reader.status, 1);
    EXPECT_NE(reader.err.find("only root and members of group crash-reports-admin may decide"), std::string::npos)
        << reader.err;
    EXPECT_EQ(std::ranges::count(reader.err, '\n'), 1) << reader.err;
    EXPECT_EQ(fs::file_size(store / ".decisions"), before);
    EXPECT_EQ(readJson(store, {"groups", "--json"}).front()["state"], "open");
}

TEST(ReaderEndToEnd, NamesAnUnknownReportOrAMissingStoreInOneLine)
{
    TempDir dir;
    storeThreeCrashes(dir.path());

    const ExitResult unknown = read(dir.path(), {"show", "20261208T115959.000042Z_10.1.2.3_40000_000007.report"});
    const ExitResult missing = read(dir.path() / "nothing", {"groups"});

    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("20261208T115959.000042Z_10.1.2.3_40000_000007.report"), std::string::npos);
    EXPECT_EQ(std::ranges::count(unknown.err, '\n'), 1) << unknown.err;
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find((dir.path() / "nothing").string()), std::string::npos) << missing.err;
    EXPECT_EQ(std::ranges::count(missing.err, '\n'), 1) << missing.err;
}

TEST(ReaderEndToEnd, ReadsAsAMemberOfTheStoresGroupWithoutWritingAnything)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to read as another user";
    }
    TempDir dir;
    const fs::path store = storeOfGroup4242(dir);
    const std::vector<std::string> member{"/usr/bin/setpriv", "--reuid=65534", "--regid=4242", "--clear-groups", "--"};

    auto args = member;
    args.insert(args.end(), {kReader, "--store", store.string(), "groups", "--json"});
    const ExitResult groups = run(args);
    args = member;
    args.insert(args.end(), {kReader, "--store", store.string(), "list"});
    const ExitResult list = run(args);

    EXPECT_EQ(groups.status, 0) << groups.err;
    EXPECT_EQ(json::parse(groups.out).size(), 3U);
    EXPECT_EQ(list.status, 0) << list.err;
}

TEST(ReaderEndToEnd, TellsAUserOutsideTheStoresGroupWhichGroupToAskFor)
{
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root to read as another user";
    }
    TempDir dir;
    const fs::path store = storeOfGroup4242(dir);

    const ExitResult outsider = run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                     kReader, "--store", store.string(), "groups"});

    EXPECT_EQ(outsider.status, 1);
    EXPECT_NE(outsider.err.find("Permission denied; members of its group 4242 read it: ask an administrator to add "
                                "you (sudo adduser "),
              std::string::npos)
        << outsider.err;
    EXPECT_EQ(std::ranges::count(outsider.err, '\n'), 1) << outsider.err;
}

// `show` gives a pipe the stored bytes; a terminal gets them as text that
// it shows rather than obeys.
TEST(ReaderEndToEnd, ShowEscapesControlCharactersForATerminalOnly)
{
    if (!fs::exists("/usr/bin/script")) {
        GTEST_SKIP() << "script (util-linux) is not installed";
    }
    TempDir dir;
    const std::string report = "crash\x1b]0;owned\x07\x1b[2J\xc2\x9b" "1m caf\xc3\xa9\n";
    fs::path stored;
    {
        RunningCollector collector(dir.path(), {.args = {"--count", "1"}});
        UdpSocket().sendTo(collector.port(), makeFrame(toBytes(report)));
        stored = collector.nextStoredPath();
        ASSERT_EQ(collector.child().wait().status, 0);
    }
    const std::string id = stored.filename().string();

    const ExitResult piped = read(dir.path(), {"show", id});
    const ExitResult onTerminal = run({"/usr/bin/script", "-q", "-e", "-c",
                                       kReader + " --store " + dir.path().string() + " show " + id, "/dev/null"});

    EXPECT_EQ(piped.out, report);
    EXPECT_EQ(onTerminal.status, 0) << onTerminal.err;
    EXPECT_NE(onTerminal.out.find("crash\\x1b]0;owned\\x07\\x1b[2J\\xc2\\x9b1m caf\xc3\xa9"), std::string::npos)
        << onTerminal.out;
    EXPECT_EQ(onTerminal.out.find('\x1b'), std::string::npos) << onTerminal.out;
}

}  // namespace
