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
    {"NoCommand", {"--json"}, {}, "missing COMMAND (groups, list, show, reindex, signature or page)"},
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
    {"ReportOutsideTheStore", {"show", "../../etc/shadow"}, {}, "invalid REPORT \"../../etc/shadow\": not a report id"},
    {"ReportThatIsHidden", {"show", ".collector-x.lock"}, {}, "invalid REPORT \".collector-x.lock\": not a report id"},
    {"ShowWithoutReport", {"show"}, {}, "missing REPORT for show"},
    {"ShowWithTwoReports", {"show", "a", "b"}, {}, "show takes one REPORT, got 2"},
    {"GroupsWithAnOperand", {"groups", "x"}, {}, "groups takes no operand, got \"x\""},
};

INSTANTIATE_TEST_SUITE_P(CommandLines, ParseReaderOptions, testing::ValuesIn(kParses),
                         [](const testing::TestParamInfo<Parse>& param) { return param.param.name; });

}  // namespace
