// The triage site written from a catalog: its pages there, hostile texts
// shown but never as markup, ids that are no ids never in a file name or a
// link, long lists capped, marks by their rule, and each new site put in
// place whole.

#include "FakeCatalog.h"
#include "SampleCatalogs.h"
#include "TestSupport.h"
#include "common/StartupError.h"
#include "page/Assets.h"
#include "page/Parts.h"
#include "page/Sha256.h"
#include "page/Site.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <set>

namespace {

using namespace std::chrono;
using namespace test_support;
namespace fs = std::filesystem;

const store::TimePoint kNow = sys_days{2026y / 12 / 9} + 8h;

std::string hashOf(std::string_view content)
{
    const auto encoded = triage::base64(triage::sha256(content));
    return "'sha256-" + std::string(encoded.begin(), encoded.end()) + "'";
}

std::vector<fs::path> pagesIn(const fs::path& site)
{
    std::vector<fs::path> pages;
    for (const auto& entry : fs::recursive_directory_iterator(site)) {
        if (entry.path().extension() == ".html") {
            pages.push_back(entry.path());
        }
    }
    return pages;
}

// Answers as its fake does, and can fail or look at the site while the
// page is being written.
class SpyCatalog : public FakeCatalog {
public:
    // Called when the index's chart is asked for: every other page is written then.
    std::function<void()> beforeIndex;
    bool failReports = false;

    store::Histogram histogram(const std::optional<std::string>& group, seconds width, std::size_t buckets,
                               store::TimePoint now) override
    {
        if (!group && beforeIndex) {
            beforeIndex();
        }
        return FakeCatalog::histogram(group, width, buckets, now);
    }
    std::vector<store::ReportSummary> reports(const store::ReportFilter& filter) override
    {
        if (failReports) {
            throw std::runtime_error("the index is gone\nfor good");
        }
        return FakeCatalog::reports(filter);
    }
};

class HostileSite : public testing::Test {
protected:
    void SetUp() override
    {
        addHostileReports(catalog, kNow);
        triage::writePage(catalog, site, kNow);
    }
    TempDir dir;
    fs::path site = dir.path() / "site";
    FakeCatalog catalog;
};

TEST_F(HostileSite, WritesPagesOnlyForSafeIds)
{
    std::set<std::string> written;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        written.insert(fs::relative(entry.path(), dir.path()).string());
    }
    std::set<std::string> expected{"site", "site/.triage-site", "site/index.html", "site/groups", "site/reports"};
    for (const auto& group : catalog.groups({})) {
        if (group.group.size() == 16) {
            expected.insert("site/groups/" + group.group + ".html");
        }
        for (const auto& report : catalog.reports({.group = group.group})) {
            if (report.report.starts_with("2026") && group.group.size() == 16) {
                expected.insert("site/reports/" + report.report + ".html");
            }
        }
    }
    EXPECT_EQ(written, expected);
}

TEST_F(HostileSite, ShowsNoMarkupFromReports)
{
    const std::set<std::string> ownElements{"!DOCTYPE", "a", "body", "code", "dd", "div", "dl", "dt", "h1", "h2",
                                            "head", "header", "html", "line", "main", "meta", "p", "path", "pre",
                                            "rect", "script", "span", "style", "svg", "table", "tbody", "td", "text",
                                            "th", "thead", "title", "tr"};
    const std::regex tag("</?([A-Za-z!][A-Za-z0-9-]*)");
    for (const auto& page : pagesIn(site)) {
        const std::string html = readText(page);
        const std::size_t ownScripts = page.filename() == "index.html" ? 1 : 0;
        EXPECT_EQ(occurrences(html, "<script"), ownScripts) << page;
        EXPECT_EQ(occurrences(html, "<!--"), 0U) << page;
        EXPECT_EQ(occurrences(html, "]]>"), 0U) << page;
        const std::string outsideScript = std::regex_replace(html, std::regex("<script>[\\s\\S]*?</script>"), "");
        for (auto match = std::sregex_iterator(outsideScript.begin(), outsideScript.end(), tag);
             match != std::sregex_iterator(); ++match) {
            EXPECT_TRUE(ownElements.contains((*match)[1].str())) << page << ": " << (*match)[0];
        }
        EXPECT_NE(html.find("&lt;script&gt;document.title=&#39;PWNED&#39;&lt;/script&gt;"), std::string::npos) << page;
    }
}

TEST_F(HostileSite, PagesAreValidUtf8WithoutControlBytes)
{
    for (const auto& page : pagesIn(site)) {
        const std::string html = readText(page);
        for (const char c : html) {
            const auto byte = static_cast<unsigned char>(c);
            EXPECT_TRUE(byte >= 0x20 || c == '\n' || c == '\t') << page << " has byte " << int{byte};
        }
        // A decoder that meets invalid UTF-8 says so by its replacement.
        EXPECT_EQ(html.find("\xFF"), std::string::npos) << page;
        EXPECT_EQ(html.find("\xC0\xAF"), std::string::npos) << page;
        EXPECT_EQ(html.find("\xED\xA0\x80"), std::string::npos) << page;
        EXPECT_EQ(html.find("\xE2\x80\xA8"), std::string::npos) << page;
        EXPECT_EQ(html.find("\xE2\x80\xAE"), std::string::npos) << page;
    }
}

TEST_F(HostileSite, PolicyNamesTheEmbeddedStyleAndScript)
{
    for (const auto& page : pagesIn(site)) {
        const std::string html = readText(page);
        const std::string policy(between(html, "http-equiv=\"Content-Security-Policy\" content=\"", "\""));
        EXPECT_TRUE(policy.starts_with("default-src &#39;none&#39;; ")) << page;
        const std::string unescaped = std::regex_replace(policy, std::regex("&#39;"), "'");
        EXPECT_NE(unescaped.find("style-src " + hashOf(between(html, "<style>", "</style>"))), std::string::npos);
        if (page.filename() == "index.html") {
            EXPECT_NE(unescaped.find("script-src " + hashOf(between(html, "<script>", "</script>"))), std::string::npos);
        }
        EXPECT_EQ(policy.find("unsafe"), std::string::npos) << page;
    }
}

// Reports reach the page as HTML only: the script is the same whatever the
// catalog holds, so no report text ever lands inside it.
TEST_F(HostileSite, ScriptHoldsNoDataFromTheCatalog)
{
    EXPECT_EQ(between(readText(site / "index.html"), "<script>", "</script>"), triage::assets::kScript);
}

TEST_F(HostileSite, LinksOnlyWithinTheSiteBySafeIds)
{
    const std::regex safeLink("(\\.\\./)?(index\\.html|groups/[0-9a-f]{16}\\.html|reports/[A-Za-z0-9][A-Za-z0-9._-]*\\.html)");
    const std::regex href("(href|src)=\"([^\"]*)\"");
    for (const auto& page : pagesIn(site)) {
        const std::string html = readText(page);
        for (auto match = std::sregex_iterator(html.begin(), html.end(), href); match != std::sregex_iterator(); ++match) {
            EXPECT_TRUE(std::regex_match((*match)[2].str(), safeLink)) << page << ": " << (*match)[0];
        }
    }
}

class Site : public testing::Test {
protected:
    void addReport(const std::string& group, seconds age, int number, const std::string& sender = "10.0.0.1:4000")
    {
        catalog.add({.report = "r" + group + "-" + std::to_string(number), .group = group, .title = "t",
                     .received = kNow - age, .sender = sender},
                    "sig", "text");
    }
    TempDir dir;
    fs::path site = dir.path() / "site";
    SpyCatalog catalog;
};

TEST_F(Site, ListsTheNewest200ReportsAndKeepsTheTextsOfTheNewest)
{
    for (int number = 0; number < 230; ++number) {
        addReport("00000000000000aa", minutes{number}, number);
    }
    triage::writePage(catalog, site, kNow);
    const std::string html = readText(site / "groups/00000000000000aa.html");
    EXPECT_EQ(occurrences(html, "<tr><td class=\"t\">"), 200U);
    EXPECT_NE(html.find("30 older reports are not listed"), std::string::npos);
    EXPECT_EQ(occurrences(html, "href=\"../reports/"), triage::page::kReportTexts);
    EXPECT_EQ(filesIn(site / "reports").size(), triage::page::kReportTexts);
}

TEST_F(Site, ShowsAPagesWorthOfAHugeReportAndSaysHowToSeeItWhole)
{
    // Every byte of it escapes to six.
    catalog.add({.report = "rhuge", .group = "00000000000000ac", .title = "t", .received = kNow - 1h,
                 .sender = "10.0.0.1:4000"},
                "sig", std::string(4 << 20, '"'));

    triage::writePage(catalog, site, kNow);

    for (const fs::path& page : {site / "groups/00000000000000ac.html", site / "reports/rhuge.html"}) {
        const std::string html = readText(page);
        EXPECT_LT(html.size(), triage::page::kShownTextBytes + (16 << 10)) << page;
        EXPECT_NE(html.find("of its 4.0 MiB: <code>crashReports show rhuge</code> prints it whole"), std::string::npos)
            << page;
    }
}

TEST_F(Site, ListsTheLatestGroupsAndSaysHowManyAreLeftOut)
{
    const std::size_t groups = triage::page::kListedGroups + 3;
    for (std::size_t group = 0; group < groups; ++group) {
        char id[17];
        std::snprintf(id, sizeof id, "%016zx", group);
        addReport(id, seconds{static_cast<long>(group)}, 1);
    }

    triage::writePage(catalog, site, kNow);

    const std::string index = readText(site / "index.html");
    EXPECT_EQ(occurrences(between(index, "<tbody>", "</tbody>"), "<tr>"), triage::page::kListedGroups);
    EXPECT_NE(index.find("3 groups with older activity are not listed"), std::string::npos);
    EXPECT_EQ(filesIn(site / "groups").size(), triage::page::kListedGroups);
    EXPECT_FALSE(fs::exists(site / "groups" / (std::string(16 - 4, '0') + "138a.html"))) << "the oldest has a page";
}

struct MarkCase {
    const char* name;
    std::vector<hours> ages;
    const char* mark;  // what the index shows, or nothing
    hours regressedAfter = 7 * 24h;  // the collector's quiet time
    friend void PrintTo(const MarkCase& entry, std::ostream* out) { *out << entry.name; }
};

class Marks : public Site, public testing::WithParamInterface<MarkCase> {};

TEST_P(Marks, FollowTheRuleOnThePage)
{
    int number = 0;
    for (const hours age : GetParam().ages) {
        addReport("00000000000000bb", age, ++number);
    }
    triage::writePage(catalog, site, kNow, GetParam().regressedAfter);
    const std::string row(between(readText(site / "index.html"), "<tbody>", "</tbody>"));
    for (const std::string mark : {"new", "regressed"}) {
        EXPECT_EQ(row.find("<span class=\"mark " + mark + "\">") != std::string::npos, mark == GetParam().mark) << mark;
    }
}

INSTANTIATE_TEST_SUITE_P(Page, Marks,
                         testing::Values(MarkCase{"FirstSeenToday", {2h, 20h}, "new"},
                                         MarkCase{"BackAfterAQuietWeek", {2h, 9 * 24h}, "regressed"},
                                         MarkCase{"BackAfterAShortQuiet", {2h, 3 * 24h, 9 * 24h}, ""},
                                         MarkCase{"BackAfterTheCollectorsQuietTime", {2h, 3 * 24h}, "regressed", 36h},
                                         MarkCase{"QuietSinceLastWeek", {9 * 24h, 10 * 24h}, ""},
                                         MarkCase{"SteadyForWeeks", {2h, 30h, 9 * 24h}, ""}),
                         [](const auto& entry) { return std::string(entry.param.name); });

TEST_F(Site, ShowsStatesHidesIgnoredGroupsBehindASwitchAndMergedOnesUnderTheirTarget)
{
    for (const char* group : {"00000000000000c1", "00000000000000c2", "00000000000000c3", "00000000000000c4"}) {
        addReport(group, 2h, 1);
    }
    const auto decided = [](store::DecisionKind kind, const char* group, std::string version = {}) {
        return store::Decision{kind, group, version.empty() ? "" : "00000000000000c1", version, std::nullopt,
                               kNow - 3h, "alice", "why", {}};
    };
    catalog.decided = {decided(store::DecisionKind::fix, "00000000000000c1", "1.4-1"),
                       decided(store::DecisionKind::ignore, "00000000000000c2"),
                       decided(store::DecisionKind::merge, "00000000000000c3", "x")};
    triage::writePage(catalog, site, kNow);
    const std::string index = readText(site / "index.html");
    const std::string listed(between(index, "<tbody>", "</tbody>")), hidden(between(index, "<details>", "</details>"));
    EXPECT_NE(listed.find("<span class=\"state\">fixed 2026-12-09 05:00 in 1.4-1</span>"), std::string::npos) << listed;
    EXPECT_NE(listed.find("merged: <code>00000000000000c3</code>"), std::string::npos) << listed;
    EXPECT_EQ(occurrences(listed, "<tr>"), 2U) << "an ignored or merged group has a row of its own";
    EXPECT_NE(hidden.find("00000000000000c2"), std::string::npos) << "the ignored group is not behind the switch";
    EXPECT_NE(readText(site / "groups/00000000000000c1.html").find("by alice: why"), std::string::npos);
}

// More reports than a group's page lists: its hosts are read from the
// store, the merged group's too.
TEST_F(Site, CountsTheHostsOfAMergedGroupBeyondTheListedReports)
{
    for (int number = 0; number <= static_cast<int>(triage::page::kListedReports); ++number) {
        addReport("00000000000000d1", minutes{number + 1}, number);
    }
    addReport("00000000000000d2", 24h, 1, "10.0.0.9:4000");
    catalog.decided = {{store::DecisionKind::merge, "00000000000000d2", "00000000000000d1", {}, std::nullopt,
                        kNow - 3h, "alice", "", {}}};
    triage::writePage(catalog, site, kNow);
    EXPECT_NE(readText(site / "index.html").find("id=\"total-hosts\">2<"), std::string::npos);
}

TEST_F(Site, KeepsTheOldSiteWholeUntilTheNewOneIsInPlace)
{
    addSampleReports(catalog, kNow, {.groups = 5, .reports = 40});
    triage::writePage(catalog, site, kNow);
    const std::string oldIndex = readText(site / "index.html");
    const std::size_t oldPages = pagesIn(site).size();

    addReport("00000000000000cc", 1h, 1);
    catalog.beforeIndex = [&] {
        EXPECT_EQ(readText(site / "index.html"), oldIndex);
        EXPECT_EQ(pagesIn(site).size(), oldPages);
    };
    triage::writePage(catalog, site, kNow);

    EXPECT_NE(readText(site / "index.html").find("00000000000000cc"), std::string::npos);
    EXPECT_EQ(filesIn(dir.path()), std::vector<fs::path>{site});
}

TEST_F(Site, LinksUnchangedPagesFromTheOldSite)
{
    addReport("00000000000000ee", 3h, 1);
    addReport("00000000000000ff", 3h, 1);
    triage::writePage(catalog, site, kNow);
    const auto inode = [this](const std::string& page) {
        struct stat status {};
        EXPECT_EQ(::stat((site / page).c_str(), &status), 0) << page;
        return status.st_ino;
    };
    const auto reportPage = inode("reports/r00000000000000ee-1.html");
    const auto unchangedGroup = inode("groups/00000000000000ee.html");
    const auto changedGroup = inode("groups/00000000000000ff.html");

    addReport("00000000000000ff", 1h, 2);
    triage::writePage(catalog, site, kNow);

    EXPECT_EQ(inode("reports/r00000000000000ee-1.html"), reportPage);
    EXPECT_EQ(inode("groups/00000000000000ee.html"), unchangedGroup);
    EXPECT_NE(inode("groups/00000000000000ff.html"), changedGroup);
    EXPECT_NE(readText(site / "groups/00000000000000ff.html").find("r00000000000000ff-2"), std::string::npos);
}

TEST_F(Site, FailureLeavesTheOldSiteAndNoTemporary)
{
    addReport("00000000000000dd", 1h, 1);
    triage::writePage(catalog, site, kNow);
    const std::string oldIndex = readText(site / "index.html");
    catalog.failReports = true;
    try {
        triage::writePage(catalog, site, kNow);
        FAIL() << "a failing catalog went unnoticed";
    } catch (const crashreports::StartupError& error) {
        EXPECT_EQ(std::string_view(error.what()).find('\n'), std::string_view::npos) << error.what();
    }
    EXPECT_EQ(readText(site / "index.html"), oldIndex);
    EXPECT_EQ(filesIn(dir.path()), std::vector<fs::path>{site});
}

TEST_F(Site, KeepsThePageAsPrivateAsTheUmaskSays)
{
    addReport("00000000000000ab", 1h, 1);
    const mode_t saved = ::umask(027);
    triage::writePage(catalog, site, kNow);
    ::umask(saved);
    for (const auto& [path, mode] : std::vector<std::pair<fs::path, fs::perms>>{
             {site, fs::perms(0750)}, {site / "groups", fs::perms(0750)}, {site / "index.html", fs::perms(0640)},
             {site / "reports/r00000000000000ab-1.html", fs::perms(0640)}}) {
        EXPECT_EQ(fs::status(path).permissions(), mode) << path;
    }
}

TEST_F(Site, RefusesToReplaceWhatIsNoSite)
{
    fs::create_directory(site);
    dir.write("site/precious.txt", "keep me");
    EXPECT_THROW(triage::writePage(catalog, site, kNow), crashreports::StartupError);
    EXPECT_EQ(readText(site / "precious.txt"), "keep me");
    const fs::path file = dir.write("plain-file", "keep me too");
    EXPECT_THROW(triage::writePage(catalog, file, kNow), crashreports::StartupError);
    EXPECT_EQ(readText(file), "keep me too");
    EXPECT_EQ(filesIn(dir.path()), (std::vector<fs::path>{file, site}));
}

}  // namespace
