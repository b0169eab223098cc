// Decisions on crash groups: where a group stands after each decision,
// which reports bring a fixed group back, merges and where decisions go
// when a group's reports are signed into other groups, Debian's order of
// versions, and the decisions file's lines.

#include "common/TimeText.h"
#include "store/Decisions.h"
#include "store/directory/DecisionLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using store::Decision;
using store::DecisionBook;
using store::DecisionKind;
using store::GroupState;
using store::TimePoint;

TimePoint at(const char* text)
{
    return *crashreports::parseTime(text, TimePoint());
}

constexpr const char* kGroup = "0123456789abcdef";
constexpr const char* kOther = "fedcba9876543210";

Decision decided(DecisionKind kind, const char* when, std::string version = {},
                 std::optional<TimePoint> until = std::nullopt)
{
    return {kind, kGroup, {}, std::move(version), until, at(when), "alice", {}, {}};
}

struct StateCase {
    const char* name;
    std::vector<Decision> decisions;
    const char* now;
    GroupState state;
    friend void PrintTo(const StateCase& row, std::ostream* out) { *out << row.name; }
};

class Standing : public testing::TestWithParam<StateCase> {};

TEST_P(Standing, FollowsTheDecisionsInTheirOrder)
{
    const DecisionBook book({GetParam().decisions, {}});
    EXPECT_EQ(book.standing(kGroup, at(GetParam().now)).state, GetParam().state);
}

const StateCase kStates[] = {
    {"NoDecisionIsOpen", {}, "2026-12-10", GroupState::open},
    {"FixIsFixed", {decided(DecisionKind::fix, "2026-12-01")}, "2026-12-10", GroupState::fixed},
    {"FixedThenRegressedIsRegressed",
     {decided(DecisionKind::fix, "2026-12-01"), decided(DecisionKind::regressed, "2026-12-02", "1.3")},
     "2026-12-10",
     GroupState::regressed},
    {"RegressedWithoutAFixChangesNothing", {decided(DecisionKind::regressed, "2026-12-02")}, "2026-12-10",
     GroupState::open},
    {"FixedAgainAfterARegressionIsFixed",
     {decided(DecisionKind::fix, "2026-12-01"), decided(DecisionKind::regressed, "2026-12-02"),
      decided(DecisionKind::fix, "2026-12-03")},
     "2026-12-10",
     GroupState::fixed},
    {"ReopenedIsOpen", {decided(DecisionKind::fix, "2026-12-01"), decided(DecisionKind::reopen, "2026-12-02")},
     "2026-12-10", GroupState::open},
    {"IgnoredForeverStaysIgnored", {decided(DecisionKind::ignore, "2026-12-01")}, "2030-01-01", GroupState::ignored},
    {"IgnoredForASpanIsIgnoredWithinIt",
     {decided(DecisionKind::ignore, "2026-12-01", {}, at("2026-12-08"))},
     "2026-12-07",
     GroupState::ignored},
    {"IgnoredForASpanIsOpenAfterIt",
     {decided(DecisionKind::ignore, "2026-12-01", {}, at("2026-12-08"))},
     "2026-12-08",
     GroupState::open},
    {"FixedThenIgnoredIsIgnored", {decided(DecisionKind::fix, "2026-12-01"), decided(DecisionKind::ignore, "2026-12-02")},
     "2026-12-10", GroupState::ignored},
};

INSTANTIATE_TEST_SUITE_P(Decisions, Standing, testing::ValuesIn(kStates),
                         [](const auto& row) { return std::string(row.param.name); });

struct RegressionCase {
    const char* name;
    std::string fixedIn;  // empty: fixed in no version
    std::string version;  // the report's
    const char* received;
    bool regresses;
    friend void PrintTo(const RegressionCase& row, std::ostream* out) { *out << row.name; }
};

class Regression : public testing::TestWithParam<RegressionCase> {};

TEST_P(Regression, ComesFromAReportAfterTheFixOfItsVersionOrALaterOne)
{
    const RegressionCase& row = GetParam();
    const DecisionBook book({{decided(DecisionKind::fix, "2026-12-05", row.fixedIn)}, {}});
    EXPECT_EQ(book.regresses(kGroup, row.version, at(row.received)), row.regresses);
}

const RegressionCase kRegressions[] = {
    {"AnyReportAfterAFixWithoutVersion", "", "", "2026-12-06", true},
    {"NoReportReceivedBeforeTheFix", "", "", "2026-12-04", false},
    {"TheVersionFixedIn", "1.4-1", "1.4-1", "2026-12-06", true},
    {"ALaterVersion", "1.4-1", "1.10", "2026-12-06", true},
    {"NotAnOlderVersion", "1.4-1", "1.3.9", "2026-12-06", false},
    {"NotATildeBeforeTheRelease", "1.4-1", "1.4~rc1-1", "2026-12-06", false},
    {"ALaterEpoch", "2:1.0", "3:0.1", "2026-12-06", true},
    {"NotAReportThatNamesNoVersion", "1.4-1", "", "2026-12-06", false},
};

INSTANTIATE_TEST_SUITE_P(Versions, Regression, testing::ValuesIn(kRegressions),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(Regression, NotOfAGroupAlreadyRegressed)
{
    const DecisionBook book(
        {{decided(DecisionKind::fix, "2026-12-01"), decided(DecisionKind::regressed, "2026-12-02")}, {}});
    EXPECT_FALSE(book.regresses(kGroup, "", at("2026-12-03")));
}

Decision merge(const char* group, const char* into, const char* when)
{
    return {DecisionKind::merge, group, into, {}, std::nullopt, at(when), "alice", {}, {}};
}

TEST(Merge, CountsAGroupInItsTargetUntilUnmerged)
{
    Decision unmerge{DecisionKind::unmerge, kOther, {}, {}, std::nullopt, at("2026-12-03"), "alice", {}, {}};
    const std::vector<Decision> merged{merge(kOther, kGroup, "2026-12-01")};
    const DecisionBook book({merged, {}});
    EXPECT_EQ(book.targetOf(kOther), kGroup);
    EXPECT_EQ(book.mergedInto(kGroup), std::vector<std::string>{kOther});
    const DecisionBook given({{merged.front(), unmerge}, {}});
    EXPECT_EQ(given.targetOf(kOther), kOther);
    EXPECT_TRUE(given.mergedInto(kGroup).empty());
}

TEST(Merge, ThroughAChainReachesTheLastTargetAndALoopEnds)
{
    const DecisionBook chain({{merge("a", "b", "2026-12-01"), merge("b", "c", "2026-12-02")}, {}});
    EXPECT_EQ(chain.targetOf("a"), "c");
    const DecisionBook loop({{merge("a", "b", "2026-12-01"), merge("b", "a", "2026-12-02")}, {}});
    EXPECT_NO_FATAL_FAILURE(loop.targetOf("a"));
}

TEST(Resigned, ADecisionFollowsItsReportsIntoEachGroupTheyAreInNow)
{
    Decision fix = decided(DecisionKind::fix, "2026-12-01");
    fix.reports = {"r1", "r2", "gone"};
    // Signed again, the group split: r1 is in a group of a new id, r2 in another.
    const DecisionBook book({{fix}, {{"r1", "1111111111111111"}, {"r2", "2222222222222222"}}});
    for (const char* group : {kGroup, "1111111111111111", "2222222222222222"}) {
        EXPECT_EQ(book.standing(group, at("2026-12-10")).state, GroupState::fixed) << group;
    }
    EXPECT_EQ(book.standing("3333333333333333", at("2026-12-10")).state, GroupState::open);
}

TEST(DecisionLine, ReadsBackWhatItWrote)
{
    Decision decision{DecisionKind::ignore, kGroup,      {}, {}, at("2026-12-09T10:00:00Z"), at("2026-12-02T08:00:00.5Z"),
                      "alice",              "noise\n\"x\"", {"r1", "r2"}};
    const std::string line = store::decisionLine(decision);
    EXPECT_EQ(line.find('\n'), line.size() - 1) << line;
    EXPECT_EQ(store::decisionFromLine(line), decision);
}

TEST(DecisionLine, ALineCutShortOrOfAnUnknownKindIsNoDecision)
{
    const std::string line = store::decisionLine(decided(DecisionKind::fix, "2026-12-01"));
    EXPECT_FALSE(store::decisionFromLine(line.substr(0, line.size() / 2)));
    EXPECT_FALSE(store::decisionFromLine(R"({"decision":"delete","group":"0123456789abcdef","at":"2026-12-01"})"));
}

}  // namespace
