#pragma once

// What the decisions taken on crash groups make of the collector's news.
// The storing thread reads them again when they changed, once a second at
// most; then, for each report it announces, a report that brings a fixed
// group back makes that group regressed, once: the decision is recorded in
// the store, and its news told. The store's own news (a new group, one back
// after a quiet time) of a group merged into another is the other's (a new
// one is none: that crash is known), and an ignored or fixed group tells
// none.

#include "store/Decisions.h"
#include "store/ReportStore.h"

#include <chrono>
#include <optional>
#include <string>

namespace collector {

class DecisionNews {
public:
    static constexpr auto kReadEvery = std::chrono::seconds(1);

    // `by`: the name the decisions it takes itself go by.
    DecisionNews(store::ReportStore& store, std::string by);

    // Reads the decisions again if kReadEvery passed since it last looked
    // and they changed.
    void refresh(std::chrono::steady_clock::time_point now);
    // The news of a fixed group that the stored report `name` brings back,
    // recorded as a decision; nothing otherwise.
    std::optional<store::GroupNews> regression(const std::string& name, const store::ReportInfo& info);
    // `news` as the decisions make it, or nothing where they silence it.
    std::optional<store::GroupNews> judge(store::GroupNews news, store::TimePoint now) const;

private:
    store::ReportStore& store_;
    const std::string by_;
    store::DecisionRecord record_;
    store::DecisionBook book_;
    std::optional<std::chrono::steady_clock::time_point> lastRead_;
};

}  // namespace collector
