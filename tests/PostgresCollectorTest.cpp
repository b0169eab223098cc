// Collectors sharing one PostgreSQL store, end to end: the real collectors
// and reader against the throw-away server that pg_virtualenv starts for the
// run (it sets PGHOST, PGPORT, PGUSER, PGPASSWORD and PGVERSION). Each test
// has a database of its own.

#include "CollectorProcess.h"
#include "StoreWalks.h"
#include "TestDatabase.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>

#include <algorithm>
#include <regex>
#include <set>
#include <thread>

namespace {

using namespace collector_tests;
using nlohmann::json;

const std::string kReader = CRASH_REPORTS_PATH;

// The ids in the next "stored" lines of `collector`, up to `count`, until
// none comes for `wait`; each line must keep the password to itself.
std::vector<std::string> storedIds(RunningCollector& collector, std::size_t count,
                                   std::chrono::milliseconds wait = 30s)
{
    static const std::regex stored(R"(stored postgresql://\S+#(\S+) \(\d+ bytes? from .*)");
    std::vector<std::string> ids;
    while (ids.size() < count) {
        const auto line = collector.child().readOutLine(wait);
        if (!line) {
            break;
        }
        std::smatch match;
        EXPECT_TRUE(std::regex_match(*line, match, stored)) << *line;
        EXPECT_EQ(line->find(environment("PGPASSWORD")), std::string::npos) << *line;
        ids.push_back(match[1].str());
    }
    return ids;
}

// Waits for a line on standard error that starts with `start`; whether it came.
bool errLineStartingWith(RunningCollector& collector, const std::string& start)
{
    while (const auto line = collector.child().readErrLine(30s)) {
        EXPECT_EQ(line->find(environment("PGPASSWORD")), std::string::npos) << *line;
        if (line->starts_with(start)) {
            return true;
        }
    }
    return false;
}

void controlServer(const std::string& action)
{
    const ExitResult result = run({"/usr/bin/pg_ctlcluster", environment("PGVERSION"), "regress", action});
    ASSERT_EQ(result.status, 0) << "pg_ctlcluster " << action << ": " << result.err;
}

std::vector<std::string> slice(const std::vector<std::string>& all, std::size_t from, std::size_t to)
{
    return {all.begin() + static_cast<std::ptrdiff_t>(from), all.begin() + static_cast<std::ptrdiff_t>(to)};
}

json readJson(const std::string& store, std::vector<std::string> args)
{
    args.insert(args.begin(), {kReader, "--store", store});
    const ExitResult result = run(args);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err.find(environment("PGPASSWORD")), std::string::npos) << result.err;
    return json::parse(result.out.empty() ? "null" : result.out);
}

class PostgresCollectors : public testing::Test {
protected:
    void SetUp() override
    {
        if (environment("PGPORT").empty()) {
            GTEST_SKIP() << "no server: run under pg_virtualenv, as ctest does";
        }
    }
};

TEST_F(PostgresCollectors, KilledMidBurstAndRestartedStoreEachAnnouncedReportOnce)
{
    const TestDatabase database("killed_mid_burst");
    const auto reports = stormOf(4200);
    const UdpSocket peer;
    auto killed = std::make_unique<RunningCollector>(database.uri());
    RunningCollector other(database.uri());

    sendAll(peer, killed->port(), slice(reports, 0, 3000));
    sendAll(peer, other.port(), slice(reports, 3000, 3600));
    std::vector<std::string> announced = storedIds(*killed, 1);
    killed->child().signal(SIGKILL);
    // What it announced before it died is still in the pipe.
    const auto beforeDeath = storedIds(*killed, reports.size(), 2s);
    announced.insert(announced.end(), beforeDeath.begin(), beforeDeath.end());
    killed.reset();
    RunningCollector restarted(database.uri());
    sendAll(peer, restarted.port(), slice(reports, 3600, 4200));
    for (RunningCollector* collector : {&other, &restarted}) {
        const auto ids = storedIds(*collector, 600);
        EXPECT_EQ(ids.size(), 600U);
        announced.insert(announced.end(), ids.begin(), ids.end());
        EXPECT_EQ(collector->stop().status, 0);
    }

    const std::set<std::string> rows = database.ids();
    EXPECT_EQ(std::set(announced.begin(), announced.end()).size(), announced.size()) << "a report announced twice";
    for (const auto& id : announced) {
        EXPECT_TRUE(rows.contains(id)) << id << " was announced and is not stored";
    }
    EXPECT_EQ(database.number("SELECT count(DISTINCT report) FROM reports"), static_cast<std::int64_t>(rows.size()))
        << "a report stored twice";
    std::uint64_t counted = 0;
    for (const auto& group : readJson(database.uri(), {"groups", "--json"})) {
        counted += group["count"].get<std::uint64_t>();
    }
    EXPECT_EQ(counted, rows.size());
}

TEST_F(PostgresCollectors, LoseNothingAnnouncedWhenTheServerStopsAndStartsMidBurst)
{
    const TestDatabase database("server_restarted");
    const auto reports = stormOf(2000);
    const UdpSocket peer;
    RunningCollector collector(database.uri());

    sendAll(peer, collector.port(), slice(reports, 0, 1000));
    std::vector<std::string> announced = storedIds(collector, 1);
    controlServer("stop");
    sendAll(peer, collector.port(), slice(reports, 1000, 2000));
    EXPECT_TRUE(errLineStartingWith(collector, "lost postgresql://"));
    controlServer("start");
    EXPECT_TRUE(errLineStartingWith(collector, "reached postgresql://"));
    const auto rest = storedIds(collector, reports.size() - announced.size());
    announced.insert(announced.end(), rest.begin(), rest.end());
    const ExitResult result = collector.stop();

    EXPECT_EQ(result.status, 0) << result.err;
    const auto summary = summaryOf(result.err);
    EXPECT_EQ(summary.at("stored"), reports.size());
    EXPECT_EQ(summary.at("failed to store"), 0U);
    EXPECT_EQ(announced.size(), reports.size());
    const std::set<std::string> rows = database.ids();
    EXPECT_EQ(rows, std::set(announced.begin(), announced.end()));
}

TEST_F(PostgresCollectors, KeepOneBudgetTogetherEvictingTheLargestGroupFirst)
{
    constexpr std::int64_t kMaxUse = 20000;
    const TestDatabase database("budget");
    const collector_tests::Setup budgeted{.args = {"--max-use", std::to_string(kMaxUse)}};
    RunningCollector first(database.uri(), budgeted);
    RunningCollector second(database.uri(), budgeted);
    const UdpSocket peer;

    std::size_t largest = 0;
    const auto send = [&](std::uint16_t port, const std::string& report) {
        peer.sendTo(port, makeFrame(toBytes(report)));
        largest = std::max(largest, report.size());
    };
    for (const char* quiet : {"load_config", "parse_header", "draw_frame"}) {
        send(first.port(), crashIn(quiet, 1, 20));
        EXPECT_EQ(storedIds(first, 1).size(), 1U);
    }
    for (int variant = 0; variant < 100; variant += 2) {
        send(first.port(), crashIn("storm", variant, 20));
        send(second.port(), crashIn("storm", variant + 1, 20));
    }
    EXPECT_EQ(storedIds(first, 50).size(), 50U);
    EXPECT_EQ(storedIds(second, 50).size(), 50U);
    std::uint64_t removed = 0;
    for (RunningCollector* collector : {&first, &second}) {
        const ExitResult result = collector->stop();
        EXPECT_EQ(result.status, 0) << result.err;
        removed += summaryOf(result.err).at("removed");
    }

    const std::int64_t stored = database.number("SELECT sum(bytes)::bigint FROM reports");
    EXPECT_LE(stored, kMaxUse);
    // Each removal made room for a report that did not fit: what is left
    // misses the budget by less than one report.
    EXPECT_GT(stored + static_cast<std::int64_t>(largest), kMaxUse) << "removed more than the budget needed";
    EXPECT_EQ(database.number("SELECT count(*) FROM groups WHERE count = 1"), 3) << "a quiet group lost its report";
    const std::int64_t rows = database.number("SELECT count(*) FROM reports");
    EXPECT_EQ(removed, static_cast<std::uint64_t>(103 - rows));
    EXPECT_EQ(database.number("SELECT sum(count)::bigint FROM groups"), rows);
}

TEST_F(PostgresCollectors, KeepAnotherHostsOnlyReportsThroughAFloodOfCrashesOfTheirOwn)
{
    constexpr std::int64_t kMaxUse = 40000;
    const TestDatabase database("flood");
    RunningCollector collector(database.uri(), {.args = {"--max-use", std::to_string(kMaxUse)}});
    for (int crash = 0; crash < 10; ++crash) {
        UdpSocket(0, "127.0.0.1").sendTo(collector.port(), makeFrame(toBytes(crashIn("host_a_" + std::to_string(crash),
                                                                                       crash, 100))));
        storedIds(collector, 1);
    }
    const UdpSocket flood(0, "127.0.0.2");
    for (int crash = 0; crash < 300; ++crash) {
        flood.sendTo(collector.port(), makeFrame(toBytes(crashIn("flood_" + std::to_string(crash), crash))));
    }
    EXPECT_EQ(storedIds(collector, 300).size(), 300U);
    const ExitResult result = collector.stop();

    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(database.number("SELECT count(*) FROM reports WHERE address = '127.0.0.1'"), 10);
    EXPECT_LE(database.number("SELECT sum(bytes)::bigint FROM reports"), kMaxUse);
    EXPECT_EQ(database.number("SELECT count(*) FROM groups WHERE count = 0"), 0) << "an empty group stayed";
    EXPECT_EQ(database.number("SELECT sum(count)::bigint FROM senders"), database.number("SELECT count(*) FROM reports"));
}

TEST_F(PostgresCollectors, UpgradeTablesOfVersion2SoThatTheirReadersGoOnReading)
{
    const TestDatabase database("upgrade");
    {
        RunningCollector collector(database.uri(), {.args = {"--count", "1"}});
        UdpSocket().sendTo(collector.port(), makeFrame(toBytes(crashIn("parse_header", 1))));
        ASSERT_EQ(collector.child().wait().status, 0);
    }
    // As a collector of version 2 left them, with a reader of its own.
    database.run("DROP TABLE decisions; ALTER TABLE reports DROP COLUMN app_version;"
                 "ALTER TABLE groups DROP COLUMN first_version, DROP COLUMN last_version;"
                 "UPDATE schema_version SET version = 2;"
                 "DROP ROLE IF EXISTS old_reader; CREATE ROLE old_reader LOGIN PASSWORD 'secret';"
                 "GRANT SELECT ON reports, groups, group_senders, senders, schema_version TO old_reader");
    RunningCollector collector(database.uri());
    collector.stop();

    const ExitResult groups = run({kReader, "--store", database.uriAs("old_reader"), "groups", "--json"});

    EXPECT_EQ(database.number("SELECT version FROM schema_version"), 3);
    EXPECT_EQ(groups.status, 0) << groups.err;
    EXPECT_EQ(database.number("SELECT count(*) FROM groups WHERE first_version = ''"), 1);
}

TEST_F(PostgresCollectors, WeighAGroupMergedIntoAnotherInItsTargetForTheBudget)
{
    const TestDatabase database("merged_budget");
    // Of one size each (names of one length): bytes decide, and the budget
    // holds seven.
    const auto report = [](const std::string& function, int variant) { return crashIn(function, variant, 40); };
    const std::vector<std::pair<std::string, int>> first{{"merged_a", 1}, {"merged_a", 2}, {"target_t", 3},
                                                         {"target_t", 4}, {"larger_b", 5}, {"larger_b", 6},
                                                         {"larger_b", 7}};
    const std::string budget = std::to_string(7 * report("larger_b", 5).size());
    RunningCollector collector(database.uri(), {.args = {"--max-use", budget}});
    const UdpSocket peer;
    for (const auto& [function, variant] : first) {
        peer.sendTo(collector.port(), makeFrame(toBytes(report(function, variant))));
        ASSERT_EQ(storedIds(collector, 1).size(), 1U);
    }
    std::map<std::string, std::string> groups;  // by title
    for (const auto& group : readJson(database.uri(), {"groups", "--json"})) {
        groups[group["title"]] = group["group"];
    }
    const ExitResult merged = run({kReader, "--store", database.uri(), "merge", groups["SIGSEGV in merged_a"],
                                   "--into", groups["SIGSEGV in target_t"]});
    ASSERT_EQ(merged.status, 0) << merged.err;
    std::this_thread::sleep_for(2s);  // the collector reads decisions once a second

    peer.sendTo(collector.port(), makeFrame(toBytes(report("other_c", 8))));
    ASSERT_EQ(storedIds(collector, 1).size(), 1U);
    const ExitResult result = collector.stop();

    EXPECT_EQ(summaryOf(result.err).at("removed"), 1U) << result.err;
    EXPECT_EQ(database.number("SELECT count(*) FROM reports WHERE title LIKE '%larger_b%'"), 3)
        << "the larger group, once the merged group counts in its target, did not give way";
    EXPECT_EQ(database.number("SELECT count(*) FROM reports WHERE title LIKE '%merged_a%'"), 1);
}

TEST_F(PostgresCollectors, RefuseADatabaseThatCantHoldEveryReportsTextWithOneLine)
{
    const TestDatabase database("latin", "LATIN1");

    const ExitResult collector = run({kCollector, "--port", "0", database.uri()});
    const ExitResult reader = run({kReader, "--store", database.uri(), "groups"});

    for (const ExitResult& result : {collector, reader}) {
        EXPECT_EQ(result.status, 1) << result.err;
        EXPECT_EQ(std::ranges::count(result.err, '\n'), 1) << result.err;
        EXPECT_NE(result.err.find("is in encoding LATIN1"), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find(environment("PGPASSWORD")), std::string::npos) << result.err;
    }
}

TEST_F(PostgresCollectors, TellTheReaderWhatADirectoryFedTheSameReportsTells)
{
    TempDir dir;
    const TestDatabase database("same_as_directory");
    const std::pair<const char*, std::string> sends[] = {
        {"127.0.0.1", crashIn("parse_header", 1)}, {"127.0.0.2", crashIn("parse_header", 2)},
        {"127.0.0.1", crashIn("load_config", 3)},  {"127.0.0.1", crashIn("parse_header", 4)},
        {"127.0.0.1", crashIn("load_config", 5)},  {"127.0.0.3", crashIn("draw_frame", 6)},
    };
    const std::vector<std::string> stores{dir.path().string(), database.uri()};
    for (const auto& store : stores) {
        RunningCollector collector(store, {.args = {"--count", "6"}});
        for (const auto& [address, report] : sends) {
            UdpSocket(0, address).sendTo(collector.port(), makeFrame(toBytes(report)));
            collector.nextStoredPath();
        }
        ASSERT_EQ(collector.child().wait().status, 0);
    }

    // Ids, times and sender ports are each store's own; the rest is not.
    const auto comparable = [](json items) {
        for (auto& item : items) {
            for (const char* own : {"newest", "first_seen", "last_seen", "report", "received", "sender"}) {
                item.erase(own);
            }
        }
        return items;
    };
    for (const std::vector<std::string>& question :
         {std::vector<std::string>{"groups", "--json"}, {"groups", "--since", "1d", "--json"}, {"list", "--json"}}) {
        const json fromDirectory = comparable(readJson(stores[0], question));
        EXPECT_EQ(comparable(readJson(stores[1], question)), fromDirectory) << question.front();
        EXPECT_FALSE(fromDirectory.empty());
    }
    // The page, too, is written from the database's catalog.
    const TempDir site;
    const ExitResult page = run({kReader, "--store", stores[1], "page", (site.path() / "site").string()});
    EXPECT_EQ(page.status, 0) << page.err;
    EXPECT_TRUE(fs::exists(site.path() / "site" / "index.html"));
}

TEST_F(PostgresCollectors, RemoveReportsPastTheirAgeButEachGroupsNewest)
{
    const TestDatabase database("retention");
    walkRetention(database.uri());
}

TEST_F(PostgresCollectors, KeepEveryDecisionThroughNewsReindexAndRestart)
{
    const TestDatabase database("decisions");
    walkDecisions(database.uri());
}

}  // namespace
