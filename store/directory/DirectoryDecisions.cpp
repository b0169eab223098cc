// The decisions of a directory store, for its collector: read again when
// their file changed, and added to when a report brings a fixed group back.
// See DecisionLog.h.

#include "store/directory/DirectoryStore.h"

#include <stdexcept>

namespace store {

void DirectoryStore::makeDecisionLog()
{
    try {
        decisionLog_.create();
    } catch (const std::runtime_error& error) {
        outbox_.notices.push_back({Notice::Level::Warning, error.what()});
    }
}

std::optional<DecisionRecord> DirectoryStore::changedDecisions()
{
    std::optional<std::string> stamp = decisionLog_.stamp();
    if (decisionsStamp_ == stamp) {
        return std::nullopt;
    }
    decisionsStamp_ = stamp;
    try {
        DecisionRecord record{decisionLog_.read(), {}};
        if (!record.decisions.empty()) {
            index_.withIndex("can't find the groups of decided reports in", [&](ReportIndex& index) {
                record.groupOfReport = index.groupsOf(reportsNamedBy(record.decisions));
            });
        }
        return record;
    } catch (const std::runtime_error& error) {
        outbox_.notices.push_back({Notice::Level::Error, error.what()});
        return std::nullopt;
    }
}

void DirectoryStore::recordDecision(const Decision& decision)
{
    try {
        decisionLog_.append(decision);
    } catch (const std::runtime_error& error) {
        outbox_.notices.push_back({Notice::Level::Error, error.what()});
    }
}

}  // namespace store
