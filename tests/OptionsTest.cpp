// The collector's command line: what each form of argument sets, and the
// usage errors that name the bad value.

#include "BuildConfig.h"
#include "collector/Options.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using collector::Options;

struct Parse {
    const char* name;
    std::vector<std::string_view> args;
    std::function<bool(const Options&)> holds;  // of the options parsed
    std::string error;                          // the usage error, or empty
    friend void PrintTo(const Parse& parse, std::ostream* out) { *out << parse.name; }
};

class ParseOptions : public testing::TestWithParam<Parse> {};

TEST_P(ParseOptions, SetsWhatTheArgumentsSayOrNamesTheBadOne)
{
    const Parse& parse = GetParam();

    const auto parsed = collector::parseOptions(parse.args);

    EXPECT_EQ(parsed.error, parse.error);
    if (parse.error.empty()) {
        EXPECT_TRUE(parse.holds(parsed.options));
    }
}

const Parse kParses[] = {
    {"DirectoryAloneTakesTheDefaults",
     {"/srv/reports"},
     [](const Options& options) {
         return options.store.text() == "/srv/reports" && options.port == build_config::kCollectorPort
             && options.bindAddress == "0.0.0.0" && options.maxReportSize == collector::kDefaultMaxReportSize
             && !options.maxUse && !options.keepFree && !options.count;
     }},
    {"ValueAfterAnEqualsSign", {"--port=9700", "d"}, [](const Options& options) { return options.port == 9700; }},
    {"ValueAsTheNextArgument",
     {"--max-use", "2G", "d"},
     [](const Options& options) { return options.maxUse == std::uint64_t{2} << 30; }},
    {"ZeroTurnsALimitOff", {"--keep-free", "0", "d"}, [](const Options& options) { return options.keepFree == 0U; }},
    {"RepeatedAllowAddsNetworks",
     {"--allow", "10.0.0.0/8", "d", "--allow=192.0.2.7"},
     [](const Options& options) { return options.allowed.size() == 2 && options.store.text() == "d"; }},
    {"DoubleDashEndsTheOptions", {"--", "--reuse-port"}, [](const Options& options) {
         return options.store.text() == "--reuse-port" && !options.reusePort;
     }},
    {"LoneDashIsADirectory", {"-"}, [](const Options& options) { return options.store.text() == "-"; }},
    {"HelpStopsParsing", {"--help", "--no-such-option"}, [](const Options& options) { return options.help; }},
    {"VersionStopsParsing", {"d", "--version"}, [](const Options& options) { return options.version; }},
    {"MaxAgeAsASpan", {"--max-age", "30d", "d"}, [](const Options& options) {
         return options.maxAge == std::chrono::hours(24 * 30);
     }},
    {"MaxAgeOfNothing", {"--max-age", "0s", "d"}, {}, "invalid --max-age \"0s\": not a span such as 12h, 30d"},
    {"UnknownOption", {"--verbose", "d"}, {}, "unknown option \"--verbose\""},
    {"OptionWithoutItsValue", {"d", "--port"}, {}, "option --port needs a value"},
    {"FlagWithAValue", {"--reuse-port=yes", "d"}, {}, "option --reuse-port takes no value"},
    {"PortOutOfRange", {"--port", "65536", "d"}, {}, "invalid --port \"65536\": not a port number from 0 to 65535"},
    {"CountOfZero", {"--count", "0", "d"}, {}, "invalid --count \"0\": not a whole number from 1 up"},
    {"NoStore", {"--port", "0"}, {}, "missing STORE"},
    {"EmptyStore", {""}, {}, "an empty STORE: a directory or a postgresql:// URI"},
    {"TwoStores", {"a", "b"}, {}, "one STORE expected, got 2 operands"},
};

INSTANTIATE_TEST_SUITE_P(CommandLines, ParseOptions, testing::ValuesIn(kParses),
                         [](const testing::TestParamInfo<Parse>& param) { return param.param.name; });

TEST(ParseSize, TakesPowersOf1024AndKeepsToItsRange)
{
    const std::tuple<const char*, std::uint64_t, std::optional<std::uint64_t>> cases[] = {
        {"0", 0, 0},
        {"512", 0, 512},
        {"64K", 0, 64 << 10},
        {"8M", 0, 8 << 20},
        {"4G", 0, std::uint64_t{4} << 30},
        {"64K", 65537, std::nullopt},
        {"12k", 0, std::nullopt},
        {"12KB", 0, std::nullopt},
        {"K", 0, std::nullopt},
        {"-1", 0, std::nullopt},
        {"17179869184G", 0, std::nullopt},
    };
    for (const auto& [text, min, expected] : cases) {
        EXPECT_EQ(collector::parseSize(text, min, UINT64_MAX / 2), expected) << text;
    }
}

TEST(FormatSize, WritesWhatParseSizeReadsBack)
{
    for (const std::uint64_t bytes : {std::uint64_t{0}, std::uint64_t{1000}, std::uint64_t{1} << 10,
                                      std::uint64_t{3} << 20, (std::uint64_t{1} << 20) + 1, std::uint64_t{4} << 30}) {
        EXPECT_EQ(collector::parseSize(collector::formatSize(bytes), 0, UINT64_MAX / 2), bytes)
            << collector::formatSize(bytes);
    }
    EXPECT_EQ(collector::formatSize(8 << 20), "8M");
}

}  // namespace
