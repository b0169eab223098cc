#include "StoreWalks.h"

#include "CollectorProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <thread>

namespace collector_tests {

namespace {

using nlohmann::json;

const std::string kReader = CRASH_REPORTS_PATH;
// Past the time the collector reads changed decisions again.
constexpr auto kDecisionsRead = 1500ms;

std::string crashOf(const std::string& function, const std::string& version)
{
    return "Version: " + version + "\n" + crashIn(function, 1);
}

ExitResult read(const std::string& store, std::vector<std::string> args)
{
    args.insert(args.begin(), {kReader, "--store", store});
    return run(args);
}

void decide(const std::string& store, std::vector<std::string> args)
{
    const ExitResult result = read(store, std::move(args));
    ASSERT_EQ(result.status, 0) << result.err;
}

// Each group's id by its title, with what `groups --json` says of it.
std::map<std::string, json> groupsByTitle(const std::string& store, std::vector<std::string> args = {})
{
    args.insert(args.begin(), {"groups", "--json"});
    const ExitResult result = read(store, args);
    EXPECT_EQ(result.status, 0) << result.err;
    std::map<std::string, json> groups;
    for (const json& group : json::parse(result.out)) {
        groups[group["title"]] = group;
    }
    return groups;
}

// Sends a report, waits for its stored line, and gives the news lines the
// collector wrote: the `expected` ones however long they take, and any
// more that come soon after.
std::vector<std::string> sendAndHear(RunningCollector& collector, const std::string& report, std::size_t expected = 0)
{
    UdpSocket().sendTo(collector.port(), makeFrame(toBytes(report)));
    collector.nextStoredPath();
    std::vector<std::string> news;
    while (const auto line = collector.child().readErrLine(news.size() < expected ? 10s : 700ms)) {
        if (line->find("crash group") != std::string::npos) {
            news.push_back(*line);
        }
    }
    return news;
}

// The state of each group, by title, ignored ones too.
std::map<std::string, std::string> statesOf(const std::string& store)
{
    std::map<std::string, std::string> states;
    for (const auto& [title, group] : groupsByTitle(store, {"--all"})) {
        states[title] = group["state"];
    }
    return states;
}

}  // namespace

void walkDecisions(const std::string& store)
{
    const std::string parse = "SIGSEGV in parse_header", load = "SIGSEGV in load_config", draw = "SIGSEGV in draw_frame";
    std::map<std::string, std::string> before;
    {
        RunningCollector collector(store);
        for (const char* function : {"parse_header", "load_config", "draw_frame"}) {
            EXPECT_EQ(sendAndHear(collector, crashOf(function, "1.0-1"), 1).size(), 1U) << function << " is not news";
        }
        auto groups = groupsByTitle(store);
        const std::string fixed = groups[parse]["group"], ignored = groups[load]["group"], merged = groups[draw]["group"];
        decide(store, {"fix", fixed, "--in", "2.0-1", "--note", "bounds checked"});
        decide(store, {"ignore", ignored});
        std::this_thread::sleep_for(kDecisionsRead);

        EXPECT_EQ(sendAndHear(collector, crashOf("parse_header", "1.9-3")), std::vector<std::string>{})
            << "a report of an older version than the fix is news";
        EXPECT_EQ(groupsByTitle(store)[parse]["state"], "fixed");
        const auto regressed = sendAndHear(collector, crashOf("parse_header", "2.0-2"), 1);
        ASSERT_EQ(regressed.size(), 1U);
        EXPECT_NE(regressed.front().find("regressed crash group " + fixed), std::string::npos) << regressed.front();
        EXPECT_EQ(sendAndHear(collector, crashOf("parse_header", "2.1-1")), std::vector<std::string>{})
            << "a regression is told more than once";
        EXPECT_EQ(sendAndHear(collector, crashOf("load_config", "1.0-1")), std::vector<std::string>{})
            << "an ignored group makes news";

        groups = groupsByTitle(store);
        EXPECT_EQ(groups[parse]["state"], "regressed");
        EXPECT_EQ(groups[parse]["count"], 4);
        EXPECT_EQ(groups[parse]["last_version"], "2.1-1");
        EXPECT_FALSE(groups.contains(load)) << "an ignored group is listed";
        EXPECT_EQ(groupsByTitle(store, {"--state", "ignored"})[load]["count"], 2);

        decide(store, {"merge", merged, "--into", fixed});
        groups = groupsByTitle(store);
        EXPECT_FALSE(groups.contains(draw));
        EXPECT_EQ(groups[parse]["count"], 5);
        EXPECT_EQ(groups[parse]["merged"], json::array({merged}));
        decide(store, {"unmerge", merged});
        EXPECT_EQ(groupsByTitle(store)[draw]["count"], 1);
        decide(store, {"merge", merged, "--into", fixed});
        before = statesOf(store);
        ASSERT_EQ(collector.stop().status, 0);
    }
    const ExitResult reindexed = read(store, {"reindex"});
    ASSERT_EQ(reindexed.status, 0) << reindexed.err;
    EXPECT_EQ(statesOf(store), before) << "reindex lost a decision";
    EXPECT_EQ(groupsByTitle(store)[parse]["count"], 5) << "reindex lost a merge";
    {
        RunningCollector collector(store);
        EXPECT_EQ(sendAndHear(collector, crashOf("load_config", "1.0-1")), std::vector<std::string>{})
            << "a restarted collector tells news of an ignored group";
        ASSERT_EQ(collector.stop().status, 0);
    }
    EXPECT_EQ(statesOf(store), before) << "a restart lost a decision";
}

void walkRetention(const std::string& store)
{
    {
        RunningCollector collector(store);
        for (const char* function : {"parse_header", "parse_header", "load_config", "parse_header"}) {
            sendAndHear(collector, crashOf(function, "1.0-1"));
        }
        ASSERT_EQ(collector.stop().status, 0);
    }
    std::map<std::string, std::string> newest;
    for (const auto& [title, group] : groupsByTitle(store)) {
        newest[title] = group["newest"];
    }
    std::this_thread::sleep_for(1500ms);
    RunningCollector collector(store, {.args = {"--max-age", "1s"}});
    std::optional<std::string> removed;
    while (!removed || removed->find("removed ") == std::string::npos) {
        removed = collector.child().readErrLine(5s);
        ASSERT_TRUE(removed) << "no reports removed for their age";
    }
    EXPECT_NE(removed->find("removed 2 reports"), std::string::npos) << *removed;
    const ExitResult list = read(store, {"list", "--json"});
    std::map<std::string, std::string> kept;
    for (const json& report : json::parse(list.out)) {
        kept[report["title"]] = report["report"];
    }
    EXPECT_EQ(kept, newest);
    const ExitResult result = collector.stop();
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(summaryOf(result.err).at("removed"), 2U) << "the summary left out what went for its age";
}

}  // namespace collector_tests
