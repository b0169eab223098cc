// A directory store's reports past --max-age go while it is idle, oldest
// first, but never a group's newest, so that every group keeps an example.
// See DirectoryStore.h.

#include "common/Plural.h"
#include "common/TimeText.h"
#include "store/directory/DirectoryStore.h"

namespace store {

namespace {

// Reports removed in one transaction of the index.
constexpr std::size_t kAgedAtOnce = 1024;

}  // namespace

void DirectoryStore::removeAged()
{
    const auto now = std::chrono::steady_clock::now();
    if (!maxAge_ || now < nextAgeCheck_ || !index_.available()) {
        return;
    }
    nextAgeCheck_ = now + ageCheckEvery(*maxAge_);
    const TimePoint before = Clock::now() - *maxAge_;
    Room room{true, {}, 0, 0, {}};
    for (bool more = true; more;) {
        more = false;
        const bool ran = index_.withIndex("can't remove old reports from", [&](ReportIndex& index) {
            index.inTransaction([&] {
                const std::vector<StoredReport> aged = index.receivedBefore(before, kAgedAtOnce);
                for (const StoredReport& report : aged) {
                    if (!removeReport(report.id, report.disk, room)) {
                        return;
                    }
                    index.forgetOne(report.id);
                }
                more = aged.size() == kAgedAtOnce;
            });
            index.giveBackFreePages();
        });
        // After a transaction that failed, no next batch now: the same
        // reports would come back, their files gone, and fail again.
        more = more && ran;
    }
    tellRemoved(room, "report", "older than " + crashreports::describeSpan(*maxAge_) + "; each group keeps its newest");
}

}  // namespace store
