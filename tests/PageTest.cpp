// The triage page's texts: every byte from a catalog escaped for where it
// lands, ids judged before they name a file or a link, and the policy that
// names the page's own style sheet and script by their hashes.

#include "page/Assets.h"
#include "page/Html.h"
#include "page/Sha256.h"
#include "page/Site.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <string_view>

namespace {

using namespace std::string_view_literals;
using namespace triage;

struct EscapeCase {
    const char* name;
    std::function<void(std::string&, std::string_view)> escape;
    std::string_view input;
    std::string_view expected;
    friend void PrintTo(const EscapeCase& entry, std::ostream* out) { *out << entry.name; }
};

const auto kEscaped = [](std::string& out, std::string_view text) { html::appendEscaped(out, text); };
const auto kField = [](std::string& out, std::string_view text) { html::appendField(out, text, 12); };
const auto kPre = [](std::string& out, std::string_view text) { html::appendPreformatted(out, text); };

class Escaping : public testing::TestWithParam<EscapeCase> {};

TEST_P(Escaping, GivesTheSafeText)
{
    std::string out;
    GetParam().escape(out, GetParam().input);
    EXPECT_EQ(out, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Page, Escaping,
    testing::Values(
        EscapeCase{"TextMarkupBecomesReferences", kEscaped, "<script>a&b</script>", "&lt;script&gt;a&amp;b&lt;/script&gt;"},
        EscapeCase{"AttributeDoubleQuoteCannotEndTheValue", kEscaped, "\" onload=\"x", "&quot; onload=&quot;x"},
        EscapeCase{"AttributeSingleQuoteCannotEndTheValue", kEscaped, "' onload='x", "&#39; onload=&#39;x"},
        EscapeCase{"FieldInvalidUtf8BecomesReplacement", kField, "a\xFF" "b", "a\uFFFDb"},
        EscapeCase{"FieldOverlongFormIsInvalid", kField, "\xC0\xAF", "\uFFFD\uFFFD"},
        EscapeCase{"FieldEncodedSurrogateIsInvalid", kField, "\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},
        EscapeCase{"FieldNulAndControlsBecomeOneSpace", kField, "a\0\a\r\nb"sv, "a b"},
        EscapeCase{"FieldLineSeparatorIsDropped", kField, "a\u2028b", "ab"},
        EscapeCase{"FieldMarkupIsEscaped", kField, "<b id=x>", "&lt;b id=x&gt;"},
        EscapeCase{"FieldLongTextIsCutWithEllipsis", kField, "0123456789abcdef", "0123456789a\u2026"},
        EscapeCase{"PreKeepsLinesAndTabs", kPre, "a\n\tb\n", "\na\n\tb\n"},
        EscapeCase{"PreEndTagIsEscaped", kPre, "</pre><!-- ]]>", "\n&lt;/pre&gt;&lt;!-- ]]&gt;"},
        EscapeCase{"PreNulShowsAsItsPicture", kPre, "a\0b"sv, "\na\u2400b"},
        EscapeCase{"PreEscapeAndDeleteShowAsPictures", kPre, "\x1B[1m\x7F", "\n\u241B[1m\u2421"},
        EscapeCase{"PreInvalidUtf8BecomesReplacement", kPre, "\xFF\xE2\x82", "\n\uFFFD\uFFFD\uFFFD"},
        EscapeCase{"PreValidUtf8IsKept", kPre, "caf\xC3\xA9 \xF0\x9F\x92\xA5", "\ncaf\xC3\xA9 \xF0\x9F\x92\xA5"},
        EscapeCase{"PreLineSeparatorAndOverrideBecomeReplacement", kPre, "\u2028\u202E\xC2\x85",
                   "\n\uFFFD\uFFFD\uFFFD"},
        EscapeCase{"PreLetterMarkAndZeroWidthSpaceBecomeReplacement", kPre, "a\u061Cb\u200Bc",
                   "\na\uFFFDb\uFFFDc"}),
    [](const auto& entry) { return std::string(entry.param.name); });

struct IdCase {
    const char* name;
    std::function<bool(std::string_view)> judge;
    std::string_view id;
    bool safe;
    friend void PrintTo(const IdCase& entry, std::ostream* out) { *out << entry.name; }
};

class Ids : public testing::TestWithParam<IdCase> {};

TEST_P(Ids, AreJudgedBeforeNamingAFile)
{
    EXPECT_EQ(GetParam().judge(GetParam().id), GetParam().safe);
}

const std::string kLongId(201, 'a');
const auto kReport = [](std::string_view id) { return html::isSafeReportId(id); };
const auto kGroup = [](std::string_view id) { return html::isSafeGroupId(id); };

INSTANTIATE_TEST_SUITE_P(
    Page, Ids,
    testing::Values(IdCase{"DirectoryStoreReportId", kReport, "20261208T115959.000042Z_10.1.2.3_40000_000007.report", true},
                    IdCase{"NumberReportId", kReport, "12345", true},
                    IdCase{"EmptyReportId", kReport, "", false},
                    IdCase{"ParentReportId", kReport, "..", false},
                    IdCase{"HiddenReportId", kReport, ".report", false},
                    IdCase{"SlashInReportId", kReport, "a/b", false},
                    IdCase{"MarkupInReportId", kReport, "a<b", false},
                    IdCase{"QuoteInReportId", kReport, "a\"b", false},
                    IdCase{"PercentInReportId", kReport, "a%2fb", false},
                    IdCase{"OverlongReportId", kReport, kLongId, false},
                    IdCase{"SignatureGroupId", kGroup, "0123456789abcdef", true},
                    IdCase{"UppercaseGroupId", kGroup, "0123456789ABCDEF", false},
                    IdCase{"ShortGroupId", kGroup, "0123456789abcde", false},
                    IdCase{"PathGroupId", kGroup, "../0123456789abc", false}),
    [](const auto& entry) { return std::string(entry.param.name); });

TEST(Sha256, MatchesKnownDigests)
{
    const auto text = [](std::string_view message) {
        const auto encoded = base64(sha256(message));
        return std::string(encoded.begin(), encoded.end());
    };
    EXPECT_EQ(text(""), "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=");
    EXPECT_EQ(text("abc"), "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=");
    // Two blocks: the padding spills into a second one.
    EXPECT_EQ(text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "JI1qYdIGOLjlwCaTDD5gOaM85Flk/yFn9uzt1BnbBsE=");
}

TEST(Policy, ForbidsAllButTheOwnStyleAndScript)
{
    const std::string withScript = assets::policy(true);
    EXPECT_TRUE(withScript.starts_with("default-src 'none'; "));
    EXPECT_EQ(withScript.find("unsafe"), std::string::npos);
    EXPECT_NE(withScript.find("script-src 'sha256-"), std::string::npos);
    EXPECT_EQ(assets::policy(false).find("script-src"), std::string::npos);
}

}  // namespace
