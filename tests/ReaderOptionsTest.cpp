// crashReports' command line: what each form of argument sets, and the
// usage errors that name the bad value, among them ids that could reach
// outside a store.

#include "common/TimeText.h"
#include "reader/ReaderOptions.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using triage::Command;
using triage::ReaderOptions;

const store::TimePoint kNow = *crashreports::parseTime("2026-12-09T08:00:00Z", {});

struct Parse {
    const char* name;
    std::vector<std::string_view> args;
    std::function<bool(const ReaderOptions&)> holds;  // of the options parsed
    std::string error;                                // the usage error, or empty
    friend void PrintTo(const Parse& parse, std::ostream* out) { *out << parse.name; }
};

class ParseReaderOptions : public testing::TestWithParam<Parse> {};

TEST_P(ParseReaderOptions, SetsWhatTheArgumentsSayOrNamesTheBadOne)
{
    const auto parsed = triage::parseReaderOptions(GetParam().args, kNow);

    EXPECT_EQ(parsed.error, GetParam().error);
    if (GetParam().error.empty()) {
        EXPECT_TRUE(GetParam().holds(parsed.options));
    }
}

const Parse kParses[] = {
    {"CommandAloneTakesTheDefaults",
     {"groups"},
     [](const ReaderOptions& options) {
         return options.command == Command::Groups && options.store.text() == triage::kDefaultStore && options.rules.empty()
             && !options.since && !options.json;
     }},
    {"OptionsOnBothSidesOfTheCommand",
     {"--store=/srv/reports", "list", "--group", "0123456789abcdef", "--since", "2h", "--limit=3", "--json"},
     [](const ReaderOptions& options) {
         return options.command == Command::List && options.store.text() == "/srv/reports"
             && options.group == "0123456789abcdef" && options.since == kNow - std::chrono::hours{2}
             && options.limit == 3U && options.json;
     }},
    {"RulesRepeatAndFilesFollow",
     {"--rules", "a", "signature", "--rules=b", "one", "two"},
     [](const ReaderOptions& options) {
         return options.command == Command::Signature && options.rules.size() == 2
             && options.operands == std::vector<std::string>{"one", "two"};
     }},
    {"DoubleDashEndsTheOptions",
     {"signature", "--", "--json"},
     [](const ReaderOptions& options) { return options.operands.front() == "--json" && !options.json; }},
    {"HelpStopsParsing", {"--help", "--bogus"}, [](const ReaderOptions& options) { return options.help; }},
    {"ChoicesOfGroupsAfterTheCommandVersionIncluded",
     {"groups", "--state", "regressed", "--host", "web-3", "--version", "1.4-2", "--all"},
     [](const ReaderOptions& options) {
         return options.state == store::GroupState::regressed && options.host == "web-3"
             && options.appVersion == "1.4-2" && options.all && !options.version;
     }},
    {"VersionAloneIsTheProgramsVersion", {"--version"}, [](const ReaderOptions& options) { return options.version; }},
    {"FixInAVersionWithANote",
     {"fix", "0123456789abcdef", "--in", "2:1.4~rc1-1", "--note", "in the next upload"},
     [](const ReaderOptions& options) {
         return options.command == Command::Fix && options.operands.front() == "0123456789abcdef"
             && options.fixedIn == "2:1.4~rc1-1" && options.note == "in the next upload";
     }},
    {"IgnoreForASpan",
     {"ignore", "0123456789abcdef", "--for", "7d"},
     [](const ReaderOptions& options) { return options.span == std::chrono::hours(24 * 7); }},
    {"MergeOfSeveralIntoOne",
     {"merge", "0123456789abcdef", "00000000000000ff", "--into", "fedcba9876543210"},
     [](const ReaderOptions& options) { return options.operands.size() == 2 && options.into == "fedcba9876543210"; }},
    {"MergeWithoutInto", {"merge", "0123456789abcdef"}, {}, "missing --into GROUP for merge"},
    {"DecisionOnAReportId",
     {"fix", "20261208T115959.000042Z_10.1.2.3_40000_000003.report"},
     {},
     "invalid GROUP \"20261208T115959.000042Z_10.1.2.3_40000_000003.report\": not a group id (16 lowercase hex "
     "digits)"},
    {"UnknownState", {"groups", "--state", "closed"}, {}, "invalid --state \"closed\": not open, fixed, regressed or ignored"},
    {"FixInNoVersion", {"fix", "0123456789abcdef", "--in", "1.0 beta"}, {}, "invalid --in \"1.0 beta\": not a version such as 1.4.2-1"},
    {"IgnoreForNoSpan", {"ignore", "0123456789abcdef", "--for", "0s"}, {}, "invalid --for \"0s\": not a span such as 30m, 12h or 7d"},
    {"NoteOfTwoLines", {"reopen", "0123456789abcdef", "--note", "a\nb"}, {}, "invalid --note \"a\nb\": not one line of at most 1000 bytes"},
    {"ReopenTakesNoVersion", {"reopen", "0123456789abcdef", "--in", "1.0"}, {}, "option --in does not apply to reopen"},
    {"NoCommand",
     {"--json"},
     {},
     "missing COMMAND (groups, list, show, search, fix, ignore, reopen, merge, unmerge, reindex, signature or page)"},
    {"UnknownCommand", {"frob"}, {}, "unknown command \"frob\""},
    {"UnknownOption", {"list", "--verbose"}, {}, "unknown option \"--verbose\""},
    {"OptionOfAnotherCommand", {"groups", "--limit", "3"}, {}, "option --limit does not apply to groups"},
    {"OptionWithoutItsValue", {"list", "--since"}, {}, "option --since needs a value"},
    {"FlagWithAValue", {"list", "--json=yes"}, {}, "option --json takes no value"},
    {"UnreadableSince",
     {"list", "--since", "yesterday"},
     {},
     "invalid --since \"yesterday\": not an RFC 3339 time or a span such as 30s, 90m, 2h or 7d"},
    {"LimitOfZero", {"list", "--limit", "0"}, {}, "invalid --limit \"0\": not a whole number from 1 up"},
    {"GroupInCapitals",
     {"list", "--group", "0123456789ABCDEF"},
     {},
     "invalid --group \"0123456789ABCDEF\": not a group id (16 lowercase hex digits)"},
    {"ReportOutsideTheStore",
     {"show", "../../etc/shadow"},
     {},
     "invalid REPORT \"../../etc/shadow\": not a report id or a group id"},
    {"ReportThatIsHidden",
     {"show", ".collector-x.lock"},
     {},
     "invalid REPORT \".collector-x.lock\": not a report id or a group id"},
    {"ShowWithoutReport", {"show"}, {}, "missing REPORT or GROUP for show"},
    {"ShowWithTwoReports", {"show", "a", "b"}, {}, "show takes one REPORT or GROUP, got 2"},
    {"GroupsWithAnOperand", {"groups", "x"}, {}, "groups takes no operand, got \"x\""},
};

INSTANTIATE_TEST_SUITE_P(CommandLines, ParseReaderOptions, testing::ValuesIn(kParses),
                         [](const testing::TestParamInfo<Parse>& param) { return param.param.name; });

}  // namespace
