// Crash signatures of reports that try to break them: hostile bytes,
// endless recursion; the id's known answer; the skip rules, built in and
// the operator's; and the version a report says it is of.

#include "SignatureTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

using triage::Signature;
using triage::SkipRules;
using namespace signature_tests;

// The code points of `text` if it is one line of valid UTF-8 that shows as
// it reads: no control characters, direction overrides or line separators.
std::optional<std::size_t> printableCodePoints(std::string_view text)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < text.size(); ++count) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
        if (length == 0 || i + length > text.size()) {
            return std::nullopt;
        }
        char32_t codePoint = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t next = 1; next < length; ++next) {
            const auto byte = static_cast<unsigned char>(text[i + next]);
            if ((byte & 0xC0) != 0x80) {
                return std::nullopt;
            }
            codePoint = (codePoint << 6) | (byte & 0x3F);
        }
        const bool hidden = codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F) ||
                            (codePoint >= 0x202A && codePoint <= 0x202E) || codePoint == 0x2028 || codePoint == 0x2029 ||
                            (codePoint >= 0xD800 && codePoint <= 0xDFFF);
        if (hidden) {
            return std::nullopt;
        }
        i += length;
    }
    return count;
}

std::string gdbStack(std::size_t frames, std::size_t nameLength)
{
    std::string report = "Program received signal SIGSEGV, Segmentation fault.\n";
    for (std::size_t frame = 0; frame < frames; ++frame) {
        const std::string number = std::to_string(frame);
        report.append("#").append(number).append("  0x000055d1c0ffee12 in f").append(number);
        report.append(nameLength, 'x').append(" (a=1) at src/x.c:").append(number).append("\n");
    }
    return report;
}

std::string randomBytes(std::size_t size)
{
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    std::generate(bytes.begin(), bytes.end(), [&random] { return static_cast<char>(random()); });
    return bytes;
}

struct Hostile {
    const char* name;
    std::string report;
    const char* title = nullptr;  // where it is known
    friend void PrintTo(const Hostile& hostile, std::ostream* out) { *out << hostile.name; }
};

const Hostile kHostile[] = {
    {"EscapeSequencesAndControlCharacters", "\x1b[31merror:\x1b[0m disk\tfull\x07\x01\x1b]0;title\x07 now\r\n",
     "error: disk full now"},
    {"InvalidUtf8", "error: bad \xff byte \xed\xa0\x80\n", "error: bad \uFFFD byte \uFFFD\uFFFD\uFFFD"},
    {"DirectionOverride", "error: file \u202Egnp.exe\n", "error: file gnp.exe"},
    {"LetterMarkAndZeroWidthSpace", "error: file \u061Cgnp\u200B.exe\n", "error: file gnp.exe"},
    {"UnterminatedEscape", "error \x1b[", "error"},
    {"NulBytes", std::string("host: a\0b\nProgram received signal SIGSEGV\n#0  0x1 in f\0g () at x.c:1\n", 68)},
    {"OneMegabyteLine", "error: " + std::string(1 << 20, 'A') + "\n"},
    {"TenThousandFrames", gdbStack(10000, 8)},
    {"FramesOfAKilobyteEach", gdbStack(100, 1000)},
    {"LongExceptionName", "Traceback (most recent call last):\n  File \"x.py\", line 1, in f\n" + std::string(5000, 'E') + ": x\n"},
    {"DeepBrackets", "Program received signal SIGSEGV\n#0  0x1 in " + std::string(100000, '<') + " ()\n"},
    {"OnlyNewlines", std::string(100000, '\n')},
    {"VersionOfControlsAndAMegabyte", "Version: 1.0\x1b[2J\u202E" + std::string(1 << 20, '9') + "\nerror: x\n"},
    {"UnitReportWithSectionsOutOfOrder", "=== crash report ===\n=== core dump of x ===\n=== journal of x ===\n=== systemctl status x ===\n"},
    {"EightMebibytesOfRandomBytes", randomBytes(8 << 20)},
};

class HostileReport : public testing::TestWithParam<Hostile> {};

TEST_P(HostileReport, YieldsPrintableBoundedSignature)
{
    const Signature signature = signatureOf(GetParam().report);
    const auto titleLength = printableCodePoints(signature.title);
    ASSERT_TRUE(titleLength) << signature.title;
    EXPECT_LE(*titleLength, triage::kMaxTitleCodePoints);
    EXPECT_TRUE(printableCodePoints(signature.text)) << signature.text;
    EXPECT_LE(signature.text.size(), triage::kMaxTextBytes);
    EXPECT_LE(signature.frames.size(), triage::kMaxFrames);
    for (const std::string* fact :
         {&signature.facts.host, &signature.facts.unit, &signature.facts.executable, &signature.facts.version}) {
        EXPECT_TRUE(printableCodePoints(*fact)) << *fact;
        EXPECT_LE(fact->size(), triage::kMaxFactBytes);
    }
    EXPECT_EQ(signature.id.size(), 16U);
    EXPECT_EQ(signature.id.find_first_not_of("0123456789abcdef"), std::string::npos) << signature.id;
    if (GetParam().title != nullptr) {
        EXPECT_EQ(signature.title, GetParam().title);
    }
}

INSTANTIATE_TEST_SUITE_P(Contents, HostileReport, testing::ValuesIn(kHostile),
                         [](const testing::TestParamInfo<Hostile>& hostile) { return std::string(hostile.param.name); });

TEST(Recursion, DepthDoesNotSplitAGroup)
{
    const auto overflow = [](std::size_t depth) {
        std::string report = "Program received signal SIGSEGV, Segmentation fault.\n";
        for (std::size_t frame = 0; frame < depth; ++frame) {
            report.append("#").append(std::to_string(frame)).append("  0x0000555555555171 in walk (node=0x5555) at tree.c:7\n");
        }
        return report.append("#").append(std::to_string(depth)).append("  0x00005555555551a5 in load_tree () at tree.c:30\n");
    };
    EXPECT_EQ(signatureOf(overflow(2)).text, "SIGSEGV | walk | load_tree");
    EXPECT_EQ(signatureOf(overflow(5000)).text, "SIGSEGV | walk | load_tree");
}

TEST(SignatureId, IsTheKnownHashOfTheText)
{
    const Signature signature = signatureOf(
        "Program received signal SIGSEGV, Segmentation fault.\n#0  0x1 in parse_header () at h.c:3\n"
        "#1  0x2 in handle_request () at s.c:5\n#2  0x3 in main () at m.c:1\n");
    ASSERT_EQ(signature.text, "SIGSEGV | parse_header | handle_request | main");
    // FNV-1a, 64 bits, of the text: computed once, the same on every build.
    EXPECT_EQ(signature.id, "9575536fd6c987b5");
}

TEST(BuiltInSkipRules, SkipMachineryAndNothingNamedLikeIt)
{
    const std::pair<const char*, bool> cases[] = {
        {"abort", true},          {"__GI_raise", true},         {"__GI___pthread_kill_implementation", true},
        {"__libc_start_main", true}, {"__interceptor_memcpy", true}, {"__asan_report_load4", true},
        {"std::terminate", true}, {"<signal handler called>", true}, {"java.lang.Thread.run", true},
        {"abort_transaction", false}, {"raise_error", false},  {"parse_header", false},
        {"std::terminate_all_workers", false},
    };
    for (const auto& [function, skipped] : cases) {
        EXPECT_EQ(builtInRules().skips(function), skipped) << function;
    }
}

// A rules file in the test's temporary directory, removed after the test.
class RulesFile {
public:
    explicit RulesFile(std::string_view rules)
        : path_(std::filesystem::path(testing::TempDir()) /
                ("skip-rules-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name())))
    {
        std::ofstream(path_) << rules;
    }
    RulesFile(const RulesFile&) = delete;
    RulesFile& operator=(const RulesFile&) = delete;
    ~RulesFile() { std::filesystem::remove(path_); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

constexpr std::string_view kHandledCrash =
    "Program received signal SIGSEGV, Segmentation fault.\n#0  0x1 in log_crash () at c.c:1\n"
    "#1  0x2 in app::detail::trap () at d.c:2\n#2  0x3 in parse_header () at h.c:3\n";

TEST(OperatorSkipRules, SkipTheFramesTheirExpressionsMatch)
{
    const RulesFile file("# our crash handler\n\n  ^log_crash$  \n^app::detail::\n");
    SkipRules rules = SkipRules::builtIn();
    ASSERT_EQ(rules.addFile(file.path()), "");
    EXPECT_EQ(signatureOf(kHandledCrash, rules).title, "SIGSEGV in parse_header");
    EXPECT_EQ(signatureOf(kHandledCrash).title, "SIGSEGV in log_crash");
}

TEST(OperatorSkipRules, BadExpressionNamesItsLineAndAddsNoRuleOfTheFile)
{
    const RulesFile file("^log_crash$\n# comment\n(unclosed\n");
    SkipRules rules;
    const std::string error = rules.addFile(file.path());
    EXPECT_TRUE(error.starts_with(file.path().string() + ":3: ")) << error;
    EXPECT_GT(error.size(), file.path().string().size() + 4) << "no reason given";
    EXPECT_FALSE(rules.skips("log_crash"));
}

TEST(OperatorSkipRules, SectionRulesSkipFramesOfTheirPlatformOnly)
{
    const RulesFile file("^log_crash$\n[kernel]\n^parse_header$\n[all]\n^app::detail::\n");
    SkipRules rules = SkipRules::builtIn();
    ASSERT_EQ(rules.addFile(file.path()), "");
    EXPECT_TRUE(rules.skips("log_crash", {triage::Platform::Native}));
    EXPECT_TRUE(rules.skips("parse_header", {triage::Platform::Kernel}));
    EXPECT_FALSE(rules.skips("parse_header", {triage::Platform::Native}));
    EXPECT_TRUE(rules.skips("app::detail::trap", {triage::Platform::Go}));
    EXPECT_EQ(signatureOf(kHandledCrash, rules).title, "SIGSEGV in parse_header");
}

TEST(OperatorSkipRules, BackReferencesAndUnknownPlatformsAreRefusedWithTheirLine)
{
    for (const std::string_view text : {"^ok$\n^(a+)\\1$\n", "^ok$\n[cobol]\n"}) {
        const RulesFile file(text);
        SkipRules rules;
        const std::string error = rules.addFile(file.path());
        EXPECT_TRUE(error.starts_with(file.path().string() + ":2: ")) << error;
        EXPECT_FALSE(rules.skips("ok"));
    }
}

TEST(OperatorSkipRules, MissingFileIsAnErrorNamingIt)
{
    SkipRules rules;
    EXPECT_NE(rules.addFile("/nonexistent/skip-rules").find("/nonexistent/skip-rules"), std::string::npos);
}

struct VersionCase {
    const char* name;
    std::string report;
    std::string version;
    friend void PrintTo(const VersionCase& row, std::ostream* out) { *out << row.name; }
};

class ReportVersion : public testing::TestWithParam<VersionCase> {};

TEST_P(ReportVersion, IsTheVersionLineNearItsTop) { EXPECT_EQ(signatureOf(GetParam().report).facts.version, GetParam().version); }

const std::string kCrash = "Program received signal SIGSEGV, Segmentation fault.\n#0  0x1 in parse () at p.c:1\n";

const VersionCase kVersions[] = {
    {"OnTheFirstLine", "Version: 1.4.2-1\n" + kCrash, "1.4.2-1"},
    {"IndentedWithSpacesAfterIt", "app crashed\n  Version: 2:1.0~rc1  \n" + kCrash, "2:1.0~rc1"},
    {"NotPastTheTopLines", std::string(20, '\n') + "Version: 1.0\n" + kCrash, ""},
    {"TheFirstOfTwo", "Version: 1.0\nVersion: 2.0\n" + kCrash, "1.0"},
    {"OfAUnitInItsFirstSection",
     "=== crash report ===\nhost: web-1\nunit: app.service\nVersion: 3.1-2\n=== systemctl status app.service ===\n",
     "3.1-2"},
    {"NoneWithoutTheLine", "version 1.0 of app\n" + kCrash, ""},
};

INSTANTIATE_TEST_SUITE_P(Facts, ReportVersion, testing::ValuesIn(kVersions),
                         [](const testing::TestParamInfo<VersionCase>& row) { return std::string(row.param.name); });

}  // namespace
