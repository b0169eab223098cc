#include "collector/DecisionNews.h"

#include <algorithm>

namespace collector {

DecisionNews::DecisionNews(store::ReportStore& store, std::string by) : store_(store), by_(std::move(by)) {}

void DecisionNews::refresh(std::chrono::steady_clock::time_point now)
{
    if (lastRead_ && now - *lastRead_ < kReadEvery) {
        return;
    }
    lastRead_ = now;
    if (auto record = store_.changedDecisions()) {
        record_ = std::move(*record);
        book_ = store::DecisionBook(record_);
        store_.weighMergedGroups(book_.targets());
    }
}

std::optional<store::GroupNews> DecisionNews::regression(const std::string& name, const store::ReportInfo& info)
{
    if (book_.size() == 0) {
        return std::nullopt;
    }
    const triage::Signature& signature = info.signature;
    const std::string& target = book_.targetOf(signature.id);
    if (!book_.regresses(target, signature.facts.version, info.received)) {
        return std::nullopt;
    }
    const store::Decision regressed{store::DecisionKind::regressed, target, {}, signature.facts.version,
                                    std::nullopt, info.received, by_, {}, {name}};
    store_.recordDecision(regressed);
    record_.decisions.push_back(regressed);
    record_.groupOfReport[name] = signature.id;
    book_ = store::DecisionBook(record_);
    return store::GroupNews{store::GroupEvent::Regressed, target, signature.title, name, info.sender.text()};
}

std::optional<store::GroupNews> DecisionNews::judge(store::GroupNews news, store::TimePoint now) const
{
    if (book_.size() == 0) {
        return news;
    }
    const std::string target = book_.targetOf(news.group);
    if (target != news.group) {
        if (news.event == store::GroupEvent::New) {
            return std::nullopt;
        }
        news.group = target;
    }
    const store::Standing standing = book_.standing(target, now);
    switch (standing.state) {
    case store::GroupState::ignored:
    case store::GroupState::fixed: return std::nullopt;
    case store::GroupState::regressed:
        // The report that brought it back was told so already.
        if (standing.regression && std::ranges::find(standing.regression->reports, news.report)
                                       != standing.regression->reports.end()) {
            return std::nullopt;
        }
        return news;
    case store::GroupState::open: return news;
    }
    return news;
}

}  // namespace collector
