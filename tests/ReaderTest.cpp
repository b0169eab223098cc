// crashReports' commands against a catalog held in memory: what each
// prints, how it fails, and that no report's text can break a table or
// the JSON.

#include "CannedCatalog.h"
#include "reader/Reader.h"
#include "reader/ReaderOptions.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>

namespace {

using nlohmann::json;
using namespace reader_tests;
using triage::Outcome;

Outcome run(CannedCatalog& catalog, std::vector<std::string_view> args, const triage::SkipRules* underRules = nullptr)
{
    args.insert(args.begin(), {"--store", kStore});
    const auto parsed = triage::parseReaderOptions(args, kNow);
    EXPECT_EQ(parsed.error, "");
    return triage::runOnCatalog(catalog, parsed.options, underRules, kNow);
}

struct CommandCase {
    const char* name;
    std::vector<std::string_view> args;
    int status;
    std::string output;
    std::vector<std::string> errors;
    std::vector<store::Decision> decided = {};  // in the store before the command
    friend void PrintTo(const CommandCase& command, std::ostream* out) { *out << command.name; }
};

constexpr const char* kCrashGroup = "0123456789abcdef";
constexpr const char* kErrorGroup = "fedcba9876543210";

store::Decision decision(store::DecisionKind kind, const char* group, const char* into = "")
{
    return {kind, group, into, {}, std::nullopt, at("2026-12-08T12:00:00Z"), "alice", "seen", {}};
}

class Command : public testing::TestWithParam<CommandCase> {};

TEST_P(Command, PrintsItsAnswerOrOneLineNamingWhatIsMissing)
{
    CannedCatalog catalog;
    catalog.record.decisions = GetParam().decided;
    const auto outcome = run(catalog, GetParam().args);
    EXPECT_EQ(outcome.status, GetParam().status);
    EXPECT_EQ(outcome.output, GetParam().output);
    EXPECT_EQ(outcome.errors, GetParam().errors);
}

const CommandCase kCommands[] = {
    {"GroupsAlignUnderAHeaderInTheCatalogsOrder",
     {"groups"},
     0,
     "GROUP             COUNT  HOSTS  FIRST-SEEN            LAST-SEEN             STATE  MARK  VERSIONS  TITLE\n"
     "0123456789abcdef      2      2  2026-12-08T10:00:00Z  2026-12-08T11:59:59Z  open   new   -         "
     "SIGSEGV in log_crash\n"
     "fedcba9876543210      1      1  2026-12-07T09:00:00Z  2026-12-07T09:00:00Z  open   -     -         "
     "ValueError in load\n"},
    {"IgnoredGroupIsLeftOutOfGroups",
     {"groups"},
     0,
     "GROUP             COUNT  HOSTS  FIRST-SEEN            LAST-SEEN             STATE  MARK  VERSIONS  TITLE\n"
     "0123456789abcdef      2      2  2026-12-08T10:00:00Z  2026-12-08T11:59:59Z  open   new   -         "
     "SIGSEGV in log_crash\n",
     {},
     {decision(store::DecisionKind::ignore, kErrorGroup)}},
    {"AllShowsIgnoredGroupsWithTheirState",
     {"groups", "--all"},
     0,
     "GROUP             COUNT  HOSTS  FIRST-SEEN            LAST-SEEN             STATE    MARK  VERSIONS  TITLE\n"
     "0123456789abcdef      2      2  2026-12-08T10:00:00Z  2026-12-08T11:59:59Z  open     new   -         "
     "SIGSEGV in log_crash\n"
     "fedcba9876543210      1      1  2026-12-07T09:00:00Z  2026-12-07T09:00:00Z  ignored  -     -         "
     "ValueError in load\n",
     {},
     {decision(store::DecisionKind::ignore, kErrorGroup)}},
    {"StateChoosesTheGroupsInIt",
     {"groups", "--state", "fixed"},
     0,
     "GROUP             COUNT  HOSTS  FIRST-SEEN            LAST-SEEN             STATE  MARK  VERSIONS  TITLE\n"
     "fedcba9876543210      1      1  2026-12-07T09:00:00Z  2026-12-07T09:00:00Z  fixed  -     -         "
     "ValueError in load\n",
     {},
     {decision(store::DecisionKind::fix, kErrorGroup)}},
    {"MergedGroupCountsInItsTarget",
     {"groups"},
     0,
     "GROUP             COUNT  HOSTS  FIRST-SEEN            LAST-SEEN             STATE  MARK  VERSIONS  TITLE\n"
     "0123456789abcdef      3      2  2026-12-07T09:00:00Z  2026-12-08T11:59:59Z  open   -     -         "
     "SIGSEGV in log_crash\n"
     "  merged: fedcba9876543210\n",
     {},
     {decision(store::DecisionKind::merge, kErrorGroup, kCrashGroup)}},
    {"UnmergedGroupCountsOnItsOwnAgain",
     {"groups", "--state", "open"},
     0,
     "GROUP             COUNT  HOSTS  FIRST-SEEN            LAST-SEEN             STATE  MARK  VERSIONS  TITLE\n"
     "0123456789abcdef      2      2  2026-12-08T10:00:00Z  2026-12-08T11:59:59Z  open   new   -         "
     "SIGSEGV in log_crash\n"
     "fedcba9876543210      1      1  2026-12-07T09:00:00Z  2026-12-07T09:00:00Z  open   -     -         "
     "ValueError in load\n",
     {},
     {decision(store::DecisionKind::merge, kErrorGroup, kCrashGroup), decision(store::DecisionKind::unmerge, kErrorGroup)}},
    {"ListOfAnIgnoredGroupAskedForByItsId",
     {"list", "--group", kErrorGroup},
     0,
     "RECEIVED              REPORT                                                GROUP             SENDER"
     "          BYTES  HOST  UNIT  EXECUTABLE  VERSION  TITLE\n"
     "2026-12-07T09:00:00Z  20261207T090000.000000Z_10.1.2.4_41000_000002.report  fedcba9876543210  10.1.2.4:41000"
     "      7  -     -     -           -        ValueError in load\n",
     {},
     {decision(store::DecisionKind::ignore, kErrorGroup)}},
    {"FixedGroupBroughtBackInTheLastDayIsMarkedRegressed",
     {"groups", "--state", "regressed"},
     0,
     "GROUP             COUNT  HOSTS  FIRST-SEEN            LAST-SEEN             STATE      MARK       VERSIONS  TITLE\n"
     "fedcba9876543210      1      1  2026-12-07T09:00:00Z  2026-12-07T09:00:00Z  regressed  regressed  -         "
     "ValueError in load\n",
     {},
     {decision(store::DecisionKind::fix, kErrorGroup), decision(store::DecisionKind::regressed, kErrorGroup)}},
    {"ListLeavesOutReportsOfIgnoredGroups",
     {"list", "--limit", "1"},
     0,
     "RECEIVED              REPORT                                                GROUP             SENDER"
     "          BYTES  HOST  UNIT  EXECUTABLE  VERSION  TITLE\n"
     "2026-12-07T09:00:00Z  20261207T090000.000000Z_10.1.2.4_41000_000002.report  fedcba9876543210  10.1.2.4:41000"
     "      7  -     -     -           -        ValueError in load\n",
     {},
     {decision(store::DecisionKind::ignore, kCrashGroup)}},
    {"ShowOfAGroupTellsWhereItStandsAndItsDecisions",
     {"show", kErrorGroup},
     0,
     "group fedcba9876543210: ValueError in load\n"
     "state:       fixed since 2026-12-08T12:00:00Z by alice: seen\n"
     "reports:     1 from 1 hosts, 2026-12-07T09:00:00Z to 2026-12-07T09:00:00Z\n"
     "versions:    - to -\n"
     "signature:   ValueError | load\n"
     "decisions:\n"
     "  2026-12-08T12:00:00Z  alice  fix: seen\n",
     {},
     {decision(store::DecisionKind::fix, kErrorGroup)}},
    {"ShowOfAnUnknownGroupNamesIt",
     {"show", "00000000000000ff"},
     1,
     "",
     {"no group \"00000000000000ff\" in /srv/reports"}},
    {"ListShowsHostUnitAndExecutableWhereKnown",
     {"list", "--limit", "2"},
     0,
     "RECEIVED              REPORT                                                GROUP             SENDER"
     "          BYTES  HOST   UNIT         EXECUTABLE    VERSION  TITLE\n"
     "2026-12-08T11:59:59Z  20261208T115959.000042Z_10.1.2.3_40000_000003.report  0123456789abcdef  10.1.2.3:40000"
     "   1234  web-3  app.service  /usr/bin/app  1.4-2    SIGSEGV in log_crash\n"
     "2026-12-08T10:00:00Z  20261208T100000.500000Z_10.1.2.4_40000_000001.report  0123456789abcdef  10.1.2.4:40000"
     "     99  -      -            -             -        SIGSEGV in log_crash\n"},
    {"ListOfAnUnknownGroupNamesIt",
     {"list", "--group", "00000000000000ff"},
     1,
     "",
     {"no group \"00000000000000ff\" in /srv/reports"}},
    {"ShowWritesTheStoredBytesExactly", {"show", kOther}, 0, std::string("\0\xff\r\nx", 5)},
    {"ShowOfAnUnknownReportNamesIt",
     {"show", kOldest},
     1,
     "",
     {std::string("no report \"") + kOldest + "\" in /srv/reports"}},
};

INSTANTIATE_TEST_SUITE_P(Reader, Command, testing::ValuesIn(kCommands),
                         [](const testing::TestParamInfo<CommandCase>& param) { return param.param.name; });

TEST(ReportFilter, SinceGroupAndLimitReachTheCatalog)
{
    CannedCatalog catalog;
    run(catalog, {"list", "--since", "2h", "--group", "0123456789abcdef", "--limit", "5"});
    ASSERT_FALSE(catalog.asked.empty());
    const auto& filter = catalog.asked.back();
    EXPECT_EQ(filter.since, kNow - std::chrono::hours{2});
    EXPECT_EQ(filter.group, "0123456789abcdef");
    EXPECT_EQ(filter.limit, 5U);
}

TEST(Json, GroupsCarryTheirFieldsWithUtcTimes)
{
    CannedCatalog catalog;
    const json groups = json::parse(run(catalog, {"groups", "--json"}).output);
    EXPECT_EQ(groups.size(), 2U);
    EXPECT_EQ(groups[0], json({{"group", "0123456789abcdef"},
                               {"title", "SIGSEGV in log_crash"},
                               {"signature", "SIGSEGV | log_crash | parse_header"},
                               {"count", 2},
                               {"hosts", 2},
                               {"first_seen", "2026-12-08T10:00:00.500000Z"},
                               {"last_seen", "2026-12-08T11:59:59.000042Z"},
                               {"newest", kNewest},
                               {"state", "open"},
                               {"mark", "new"},
                               {"merged", json::array()},
                               {"first_version", nullptr},
                               {"last_version", nullptr},
                               {"note", nullptr}}));
}

TEST(Json, ReportsCarryFactsOnlyWhereKnown)
{
    CannedCatalog catalog;
    const json reports = json::parse(run(catalog, {"list", "--json"}).output);
    EXPECT_EQ(reports[0]["host"], "web-3");
    EXPECT_EQ(reports[0]["signal"], "SIGSEGV");
    EXPECT_EQ(reports[1], json({{"report", kOldest},
                                {"group", "0123456789abcdef"},
                                {"received", "2026-12-08T10:00:00.500000Z"},
                                {"sender", "10.1.2.4:40000"},
                                {"bytes", 99},
                                {"title", "SIGSEGV in log_crash"}}));
}

constexpr const char* kHostileTitle = "\x1b]0;owned\x07\x1b[2Jboom\r\nnext\xff";

TEST(HostileText, TableShowsATitleAsOnePrintableLine)
{
    CannedCatalog catalog;
    catalog.groupList.resize(1);
    catalog.groupList[0].title = kHostileTitle;
    const std::string table = run(catalog, {"groups"}).output;
    EXPECT_EQ(table.substr(table.rfind("  ") + 2), "boom next\xEF\xBF\xBD\n");
}

TEST(HostileText, JsonReplacesInvalidUtf8InsteadOfFailing)
{
    CannedCatalog catalog;
    catalog.reportList.resize(1);
    catalog.reportList[0].title = kHostileTitle;
    const json reports = json::parse(run(catalog, {"list", "--json"}).output);
    EXPECT_EQ(reports[0]["title"], "\x1b]0;owned\x07\x1b[2Jboom\r\nnext\xEF\xBF\xBD");
}

TEST(CatalogFailure, IsOneLineNamingTheStore)
{
    CannedCatalog catalog;
    catalog.failing = true;
    const auto outcome = run(catalog, {"groups"});
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.errors, std::vector<std::string>{"can't read /srv/reports: disk I/O error"});
}

TEST(UnderRules, GroupsNameTheGroupTheirNewestReportWouldJoin)
{
    const auto path = std::filesystem::path(testing::TempDir()) / "reader-skip-rules";
    std::ofstream(path) << "^log_crash$\n";
    const auto loaded = triage::loadSkipRules(std::vector{path});
    std::filesystem::remove(path);
    ASSERT_EQ(loaded.error, "");
    CannedCatalog catalog;
    catalog.bytes.erase(kOther);  // a group whose newest report is gone gets no note

    const std::string table = run(catalog, {"groups"}, &loaded.rules).output;

    const auto note = table.find("\n  under the rules given: ");
    ASSERT_NE(note, std::string::npos) << table;
    EXPECT_TRUE(table.substr(note).ends_with("  SIGSEGV in parse_header\nfedcba9876543210"
                                             "      1      1  2026-12-07T09:00:00Z  2026-12-07T09:00:00Z  "
                                             "open   -     -         ValueError in load\n"))
        << table;
}

TEST(Signatures, UnreadableFileFailsAndTheOthersAreStillShown)
{
    const auto path = std::filesystem::path(testing::TempDir()) / "reader-report";
    std::ofstream(path) << kHandledCrash;
    const std::vector<std::string> files = {"/nonexistent/report", path.string()};

    const auto outcome = triage::showSignatures(files, triage::SkipRules::builtIn());
    std::filesystem::remove(path);

    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.errors, std::vector<std::string>{"can't open /nonexistent/report: No such file or directory"});
    EXPECT_TRUE(outcome.output.starts_with(path.string() + "\n  kind:        SIGSEGV\n")) << outcome.output;
}

TEST(WriteOutcome, FullStandardOutputIsAFailureWithALine)
{
    std::FILE* full = std::fopen("/dev/full", "w");
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(full && err);
    const int status = triage::writeOutcome({0, "groups\n", {}}, full, err);
    std::fclose(full);
    char line[200] = {};
    std::rewind(err);
    std::fgets(line, sizeof line, err);
    std::fclose(err);
    EXPECT_EQ(status, 1);
    EXPECT_STREQ(line, "crashReports: can't write to standard output: No space left on device\n");
}

}  // namespace
