// The directory store's side of its index: opened at start; given the
// reports of each commit as they are named, which its IndexWriter records on
// a thread while storing goes on, and every removal; caught up with the files
// in slices when it may lack some. A failure of the index never fails a
// report: it is a notice, and the index is caught up later. See
// DirectoryStore.h.

#include "common/Plural.h"
#include "store/ReportNames.h"
#include "store/directory/DirectoryListing.h"
#include "store/directory/DirectoryStore.h"

#include <unistd.h>

#include <system_error>

namespace store {

namespace {

// After a failure of the index, a new walk over the files waits this long.
constexpr auto kWalkAgainAfter = std::chrono::seconds(60);
// What the index keeps: the directory's state when the index last matched it,
// and the signature's version then.
constexpr const char* kStampKey = "directory";
constexpr const char* kVersionKey = "signature_version";

}  // namespace

void DirectoryStore::openIndex()
{
    awaitIndexing();
    catchUp_.reset();
    writer_.reset();
    index_.reset();
    indexCurrent_ = false;
    for (int attempt = 0; attempt < 2 && !index_; ++attempt) {
        try {
            index_ = std::make_unique<ReportIndex>(directory_);
        } catch (const sqlite::Error& error) {
            if (attempt == 0) {
                // Derived data that can't be opened starts over.
                for (const char* name : kIndexFiles) {
                    ::unlinkat(fd(), name, 0);
                }
                continue;
            }
            notices_.push_back({true, "can't open the index of " + directory_.string() + ": " + error.what()
                                          + "; storing on without it"});
            opened_.lock->removeDeadTemporaries();
            return;
        }
    }
    try {
        writer_ = std::make_unique<IndexWriter>(*index_, options_.regressedAfter);
    } catch (const std::system_error& error) {
        notices_.push_back({true, "can't start writing the index of " + directory_.string() + ": " + error.what()
                                      + "; storing on without it"});
        index_.reset();
        return;
    }
    makeCatchUp();
    try {
        indexCurrent_ = !opened_.stamp.empty() && index_->meta(kStampKey) == opened_.stamp
            && index_->meta(kVersionKey) == std::to_string(triage::kSignatureVersion);
        if (!indexCurrent_) {
            catchUp_->start(fd());
        }
    } catch (const sqlite::Error& error) {
        indexFailed("can't read", error);
    }
    refreshTotals();
}

void DirectoryStore::makeCatchUp()
{
    catchUp_ = std::make_unique<IndexCatchUp>(*index_, rules_, [this](std::string_view name) {
        opened_.lock->tidy(name);
    });
}

DirectoryStore::~DirectoryStore()
{
    try {
        awaitIndexing();
    } catch (const std::exception&) {
        // The index's thread ran out of memory, say: the next start walks
        // the files.
        return;
    }
    // Another collector's lock file or temporary left in the directory is
    // for the next start's walk to look at.
    if (!index_ || !indexCurrent_ || catchUp_->running() || othersLeftTraces()) {
        return;
    }
    // The stamp is taken with this collector's lock file gone, as the next
    // collector finds the directory before it takes its own.
    opened_.lock.reset();
    try {
        index_->setMeta(kStampKey, stampOf(fd()));
        index_->setMeta(kVersionKey, std::to_string(triage::kSignatureVersion));
    } catch (const sqlite::Error&) {
        // Without the mark, the next start walks the files: nothing is lost.
    }
}

bool DirectoryStore::othersLeftTraces() const
{
    const std::string& owner = opened_.lock->owner();
    bool found = false;
    forEachEntry(fd(), [&](std::string_view name) {
        const auto mark = lockOwner(name) ? lockOwner(name) : temporaryOwner(name);
        found = found || newLockOwner(name) || (mark && *mark != owner);
    });
    return found;
}

void DirectoryStore::handToIndex(const PendingReport& report, const std::string& name)
{
    if (!writer_) {
        return;
    }
    // The index keeps all of the signature but its kind and frames.
    const triage::Signature& signature = report.info.signature;
    writer_->add({name, report.info.received, report.info.sender, report.size, budget_.onDisk(report.size),
                  {.kind = {}, .frames = {}, .text = signature.text, .id = signature.id, .title = signature.title,
                   .facts = signature.facts}});
}

void DirectoryStore::closeIndexGroup(bool durable)
{
    if (!writer_) {
        return;
    }
    writer_->close(durable);
    if (!durable) {
        // The files are there all the same.
        walkLater();
    }
}

bool DirectoryStore::indexingBusy() const
{
    return writer_ && !writer_->idle();
}

std::size_t DirectoryStore::recording()
{
    takeWritten();
    return writer_ ? writer_->recording() : 0;
}

void DirectoryStore::awaitIndexing()
{
    if (writer_) {
        writer_->wait();
        takeWritten();
    }
}

void DirectoryStore::takeWritten()
{
    if (!writer_) {
        return;
    }
    for (IndexWriter::Written& group : writer_->take()) {
        if (group.error) {
            indexFailed("can't add " + crashreports::plural(group.reports, "report") + " to", *group.error);
        } else {
            news_.insert(news_.end(), std::make_move_iterator(group.news.begin()),
                         std::make_move_iterator(group.news.end()));
        }
    }
}

void DirectoryStore::forgetRemoved(const std::string& name)
{
    totals_.reports -= std::min<std::uint64_t>(totals_.reports, 1);
    awaitIndexing();
    if (!index_) {
        return;
    }
    try {
        index_->forget({name});
    } catch (const sqlite::Error& error) {
        indexFailed("can't forget a removed report in", error);
    }
}

void DirectoryStore::indexFailed(const std::string& what, const std::exception& error)
{
    notices_.push_back({true, what + " the index of " + directory_.string() + ": " + error.what()
                                  + "; it is caught up with the reports later"});
    walkLater();
}

void DirectoryStore::walkLater()
{
    indexCurrent_ = false;
    walkAgainAt_ = std::chrono::steady_clock::now() + kWalkAgainAfter;
}

void DirectoryStore::refreshTotals()
{
    // While a burst is indexed on its thread, what this collector stored and
    // removed is counted as it goes; the index is read again after.
    if (!index_ || indexingBusy()) {
        return;
    }
    takeWritten();
    try {
        totals_ = index_->totals();
    } catch (const sqlite::Error& error) {
        indexFailed("can't count the reports in", error);
    }
}

std::vector<Notice> DirectoryStore::takeNotices()
{
    return std::exchange(notices_, {});
}

bool DirectoryStore::catchUp(std::chrono::milliseconds slice)
{
    if (indexingBusy() || (writer_ && writer_->recording() != 0)) {
        awaitIndexing();
        return true;
    }
    if (walkFiles(slice)) {
        return true;
    }
    checkpointIndex();
    return false;
}

void DirectoryStore::checkpointIndex()
{
    if (!index_ || !index_->written()) {
        return;
    }
    try {
        index_->checkpoint();
    } catch (const sqlite::Error& error) {
        notices_.push_back({true, "can't checkpoint the index of " + directory_.string() + ": " + error.what()});
    }
}

bool DirectoryStore::walkFiles(std::chrono::milliseconds slice)
{
    if (!catchUp_) {
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!catchUp_->running()) {
        if (!walkAgainAt_ || now < *walkAgainAt_) {
            return false;
        }
        walkAgainAt_.reset();
        catchUp_->start(fd());
    }
    try {
        if (catchUp_->step(now + slice)) {
            return true;
        }
    } catch (const sqlite::Error& error) {
        makeCatchUp();
        indexFailed("can't catch up", error);
        return false;
    }
    finishCatchUp();
    return true;
}

void DirectoryStore::finishCatchUp()
{
    indexCurrent_ = !walkAgainAt_;
    refreshTotals();
    const IndexCatchUp::Tally& tally = catchUp_->tally();
    if (tally.indexed + tally.forgotten + tally.signedAgain != 0) {
        notices_.push_back({false, "index of " + directory_.string() + " caught up: indexed "
                                       + crashreports::plural(tally.indexed, "report") + " it lacked, forgot "
                                       + std::to_string(tally.forgotten) + " gone, signed "
                                       + std::to_string(tally.signedAgain) + " again"});
    }
}

}  // namespace store
