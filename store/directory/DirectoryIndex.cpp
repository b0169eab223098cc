#include "store/directory/DirectoryIndex.h"

#include "common/Plural.h"

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

DirectoryIndex::DirectoryIndex(ReportFiles& files, const triage::SkipRules& rules, std::chrono::seconds quiet,
                               std::uint64_t logBound, Outbox& outbox)
    : files_(files), rules_(rules), quiet_(quiet), logBound_(logBound), outbox_(outbox)
{
    open();
}

void DirectoryIndex::open()
{
    settle();
    close();
    for (int attempt = 0; attempt < 2 && !index_; ++attempt) {
        try {
            index_ = std::make_unique<ReportIndex>(files_.directory());
            if (index_->readOnly()) {
                index_.reset();
                throw sqlite::Error("this user can't write it", SQLITE_READONLY);
            }
        } catch (const sqlite::Error& error) {
            if (attempt == 0) {
                // Derived data that can't be had starts over.
                notice(Notice::Level::Warning, "can't use the index of " + files_.directory().string() + " ("
                                                   + error.what() + "): made it anew; it is caught up with the "
                                                   + "reports");
                removeFiles();
                continue;
            }
            doWithout("can't open the index of " + files_.directory().string() + ": " + error.what());
            return;
        }
    }
    try {
        writer_ = std::make_unique<IndexWriter>(*index_, quiet_, logBound_);
    } catch (const std::system_error& error) {
        doWithout("can't start writing the index of " + files_.directory().string() + ": " + error.what());
        return;
    }
    makeCatchUp();
    try {
        current_ = !files_.stampAtOpen().empty() && index_->meta(kStampKey) == files_.stampAtOpen()
            && index_->meta(kVersionKey) == std::to_string(triage::kSignatureVersion);
        if (!current_) {
            catchUp_->start(files_.fd());
        }
    } catch (const sqlite::Error& error) {
        failed("can't read", error);
    }
}

void DirectoryIndex::close()
{
    catchUp_.reset();
    writer_.reset();
    index_.reset();
    current_ = false;
    damaged_ = false;
}

void DirectoryIndex::removeFiles()
{
    removeIndexFiles(files_.fd());
}

void DirectoryIndex::doWithout(const std::string& why)
{
    close();
    notice(Notice::Level::Error, why + "; storing on without it: reports are stored and announced, but not "
                                       "grouped, no crash is told as new, and the budget removes the oldest "
                                       "reports first, until it can be had (tried again each minute)");
    openAgainAt_ = std::chrono::steady_clock::now() + kWalkAgainAfter;
    files_.lock().removeDeadTemporaries();
}

void DirectoryIndex::check()
{
    const auto now = std::chrono::steady_clock::now();
    if (!index_) {
        if (openAgainAt_ && now >= *openAgainAt_) {
            openAgainAt_.reset();
            open();
        }
        return;
    }
    if (damaged_) {
        settle();
        close();
        removeFiles();
        open();
    } else if (!index_->inPlace()) {
        notice(Notice::Level::Warning, "the index of " + files_.directory().string()
                                           + " was removed or replaced: made it again; it is caught up with the "
                                           + "reports");
        open();
    }
}

void DirectoryIndex::makeCatchUp()
{
    catchUp_ = std::make_unique<IndexCatchUp>(*index_, rules_, quiet_, [this](std::string_view name) {
        files_.lock().tidy(name);
    });
}

DirectoryIndex::~DirectoryIndex()
{
    try {
        settle();
    } catch (const std::exception&) {
        // The index's thread ran out of memory, say: the next start walks
        // the files.
        return;
    }
    // Another collector's lock file or temporary left in the directory is
    // for the next start's walk to look at.
    if (!index_ || !current_ || catchUp_->running() || files_.othersLeftTraces()) {
        return;
    }
    // The stamp is taken with this collector's lock file gone, as the next
    // collector finds the directory before it takes its own.
    files_.releaseLock();
    try {
        index_->setMeta(kStampKey, stampOf(files_.fd()));
        index_->setMeta(kVersionKey, std::to_string(triage::kSignatureVersion));
    } catch (const sqlite::Error&) {
        // Without the mark, the next start walks the files: nothing is lost.
    }
}

void DirectoryIndex::hand(const PendingReport& report, const std::string& name, std::uint64_t disk)
{
    if (!writer_ || logHeldSince_) {
        return;
    }
    // The index keeps all of the signature but its kind and frames.
    const triage::Signature& signature = report.info.signature;
    writer_->add({name, report.info.received, report.info.sender, report.size, disk,
                  {.kind = {}, .frames = {}, .text = signature.text, .id = signature.id, .title = signature.title,
                   .facts = signature.facts}});
}

void DirectoryIndex::handedAll()
{
    if (writer_) {
        writer_->handedAll();
    }
}

void DirectoryIndex::closeGroup(bool durable)
{
    if (logHeldSince_ && !releaseHeldLog()) {
        current_ = false;
        return;
    }
    if (!writer_) {
        return;
    }
    writer_->close(durable ? IndexWriter::Ending::Durable : IndexWriter::Ending::Dropped);
    if (!durable) {
        // The files are there all the same.
        walkLater();
    }
}

bool DirectoryIndex::writerBusy() const
{
    return writer_ && !writer_->idle();
}

std::size_t DirectoryIndex::takeRecorded()
{
    if (!writer_) {
        return 0;
    }
    for (IndexWriter::Written& group : writer_->take()) {
        if (group.logHeld) {
            holdFor(*group.logHeld);
        }
        if (group.error) {
            failed("can't add " + crashreports::plural(group.reports, "report") + " to", *group.error);
        } else {
            outbox_.news.insert(outbox_.news.end(), std::make_move_iterator(group.news.begin()),
                                std::make_move_iterator(group.news.end()));
        }
    }
    return writer_->unrecorded();
}

void DirectoryIndex::settle()
{
    if (writer_) {
        writer_->wait();
        takeRecorded();
    }
}

std::optional<IndexTotals> DirectoryIndex::totalsIfIdle()
{
    // While a burst is indexed on its thread, the store counts what it
    // stores and removes as it goes, and reads the index again after.
    if (!index_ || writerBusy()) {
        return std::nullopt;
    }
    takeRecorded();
    try {
        return index_->totals();
    } catch (const sqlite::Error& error) {
        failed("can't count the reports in", error);
        return std::nullopt;
    }
}

std::optional<std::uint64_t> DirectoryIndex::groupCountIfIdle()
{
    if (!index_ || writerBusy()) {
        return std::nullopt;
    }
    try {
        return index_->groupCount();
    } catch (const sqlite::Error&) {
        return std::nullopt;
    }
}

void DirectoryIndex::failed(const std::string& what, const std::exception& error)
{
    const auto* database = dynamic_cast<const sqlite::Error*>(&error);
    if (database != nullptr && database->damaged()) {
        if (!damaged_) {
            notice(Notice::Level::Error, "the index of " + files_.directory().string() + " is damaged ("
                                             + error.what() + "): it is made anew from the reports");
        }
        damaged_ = true;
        return;
    }
    notice(Notice::Level::Error, what + " the index of " + files_.directory().string() + ": " + error.what()
                                     + "; it is caught up with the reports later");
    walkLater();
}

void DirectoryIndex::walkLater()
{
    current_ = false;
    walkAgainAt_ = std::chrono::steady_clock::now() + kWalkAgainAfter;
}

void DirectoryIndex::notice(Notice::Level level, std::string line)
{
    outbox_.notices.push_back({level, std::move(line)});
}

DirectoryIndex::Step DirectoryIndex::catchUp(std::chrono::milliseconds slice)
{
    if (logHeldSince_ && !releaseHeldLog()) {
        return Step::Nothing;
    }
    if (writerBusy() || (writer_ && writer_->unrecorded() != 0)) {
        settle();
        return Step::More;
    }
    if (const Step walked = walkFiles(slice); walked != Step::Nothing) {
        return walked;
    }
    checkpoint();
    return Step::Nothing;
}

void DirectoryIndex::holdFor(std::uint64_t logBytes)
{
    // A log a little past its bound waits for the next commit's try.
    if (logHeldSince_ || logBytes <= 4 * logBound_) {
        return;
    }
    logHeldSince_ = logTriedAt_ = std::chrono::steady_clock::now();
    current_ = false;
    notice(Notice::Level::Warning,
           "indexing waits for a reader of " + (files_.directory() / kIndexFileName).string()
               + " to let go of its log, which holds " + crashreports::plural(logBytes, "byte")
               + " and can't be cut back while it is read: the reports stored meanwhile are indexed then");
}

bool DirectoryIndex::releaseHeldLog()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - logTriedAt_ < std::chrono::seconds(1)) {
        return false;
    }
    logTriedAt_ = now;
    bool released = false;
    withIndex("can't cut back the log of", [&](ReportIndex& index) { released = index.checkpoint(true); });
    if (!released) {
        return false;
    }
    const auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - *logHeldSince_);
    logHeldSince_.reset();
    walkAgainAt_ = now;
    notice(Notice::Level::Info, "the reader of the index of " + files_.directory().string() + " let go after "
                                    + crashreports::plural(static_cast<std::uint64_t>(waited.count()), "second")
                                    + ": indexing the reports stored meanwhile");
    return true;
}

void DirectoryIndex::checkpoint()
{
    if (!index_ || !index_->written()) {
        return;
    }
    try {
        index_->giveBackFreePages();
        index_->checkpoint();
    } catch (const sqlite::Error& error) {
        notice(Notice::Level::Error,
               "can't checkpoint the index of " + files_.directory().string() + ": " + error.what());
    }
}

DirectoryIndex::Step DirectoryIndex::walkFiles(std::chrono::milliseconds slice)
{
    if (!catchUp_) {
        return Step::Nothing;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!catchUp_->running()) {
        if (!walkAgainAt_ || now < *walkAgainAt_) {
            return Step::Nothing;
        }
        walkAgainAt_.reset();
        catchUp_->start(files_.fd());
    }
    try {
        const bool more = catchUp_->step(now + slice);
        for (GroupNews& news : catchUp_->takeNews()) {
            outbox_.news.push_back(std::move(news));
        }
        if (more) {
            return Step::More;
        }
    } catch (const sqlite::Error& error) {
        makeCatchUp();
        failed("can't catch up", error);
        return Step::Nothing;
    }
    finishWalk();
    return Step::WalkEnded;
}

void DirectoryIndex::finishWalk()
{
    current_ = !walkAgainAt_;
    const IndexCatchUp::Tally& tally = catchUp_->tally();
    if (tally.indexed + tally.forgotten + tally.signedAgain != 0) {
        notice(Notice::Level::Info, "index of " + files_.directory().string() + " caught up: indexed "
                                        + crashreports::plural(tally.indexed, "report") + " it lacked, forgot "
                                        + std::to_string(tally.forgotten) + " gone, signed "
                                        + std::to_string(tally.signedAgain) + " again");
    }
}

}  // namespace store
