#include "store/directory/DirectoryIndex.h"

#include "common/Plural.h"
#include "common/StartupError.h"
#include "common/UniqueFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace store {

namespace {

using crashreports::StartupError;

// After a failure of the index, a new walk over the files waits this long.
constexpr auto kWalkAgainAfter = std::chrono::seconds(60);
// What the index keeps: the directory's state when the index last matched it,
// and the signature's version then.
constexpr const char* kStampKey = "directory";
constexpr const char* kVersionKey = "signature_version";

}  // namespace

DirectoryIndex::DirectoryIndex(ReportFiles& files, const triage::SkipRules& rules, std::chrono::seconds quiet,
                               Outbox& outbox)
    : files_(files), rules_(rules), quiet_(quiet), outbox_(outbox)
{
    open();
}

void DirectoryIndex::open()
{
    settle();
    catchUp_.reset();
    writer_.reset();
    index_.reset();
    current_ = false;
    for (int attempt = 0; attempt < 2 && !index_; ++attempt) {
        try {
            index_ = std::make_unique<ReportIndex>(files_.directory());
        } catch (const sqlite::Error& error) {
            if (attempt == 0) {
                // Derived data that can't be opened starts over.
                for (const char* name : kIndexFiles) {
                    ::unlinkat(files_.fd(), name, 0);
                }
                continue;
            }
            notice(Notice::Level::Error, "can't open the index of " + files_.directory().string() + ": "
                                             + error.what() + "; storing on without it");
            files_.lock().removeDeadTemporaries();
            return;
        }
    }
    try {
        writer_ = std::make_unique<IndexWriter>(*index_, quiet_);
    } catch (const std::system_error& error) {
        notice(Notice::Level::Error, "can't start writing the index of " + files_.directory().string() + ": "
                                         + error.what() + "; storing on without it");
        index_.reset();
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

void DirectoryIndex::makeCatchUp()
{
    catchUp_ = std::make_unique<IndexCatchUp>(*index_, rules_, [this](std::string_view name) {
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
    if (!writer_) {
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

void DirectoryIndex::forget(const std::string& name)
{
    withIndex("can't forget a removed report in", [&](ReportIndex& index) { index.forget({name}); });
}

void DirectoryIndex::failed(const std::string& what, const std::exception& error)
{
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

void DirectoryIndex::checkpoint()
{
    if (!index_ || !index_->written()) {
        return;
    }
    try {
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
        if (catchUp_->step(now + slice)) {
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

namespace {

// Gives the index files the directory's owner and group, as a collector
// running as the store's user would have made them: a reindex run as root
// must leave an index that the collector can write.
void giveIndexToDirectoryOwner(int directoryFd)
{
    struct stat directory {};
    if (::geteuid() != 0 || ::fstat(directoryFd, &directory) != 0) {
        return;
    }
    for (const char* name : kIndexFiles) {
        ::fchownat(directoryFd, name, directory.st_uid, directory.st_gid, AT_SYMLINK_NOFOLLOW);
    }
}

struct CloseListing {
    void operator()(DIR* listing) const { ::closedir(listing); }
};

}  // namespace

Rebuilt rebuildIndex(const std::filesystem::path& directory, const triage::SkipRules& rules)
{
    const crashreports::UniqueFd directoryFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directoryFd) {
        const int error = errno;
        throw StartupError(crashreports::withReason("can't open report store " + directory.string(), error));
    }
    const int listingFd = ::openat(directoryFd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::unique_ptr<DIR, CloseListing> listing(listingFd < 0 ? nullptr : ::fdopendir(listingFd));
    if (!listing) {
        const int error = errno;
        if (listingFd >= 0) {
            ::close(listingFd);
        }
        throw StartupError(crashreports::withReason("can't list report store " + directory.string(), error));
    }
    try {
        ReportIndex index(directory);
        index.rebuild([&](IndexEntry& entry) {
            while (const dirent* file = ::readdir(listing.get())) {
                if (auto read = readIndexEntry(directoryFd.get(), file->d_name, rules)) {
                    entry = std::move(*read);
                    return true;
                }
            }
            return false;
        });
        giveIndexToDirectoryOwner(directoryFd.get());
        return {index.totals().reports, index.groupCount()};
    } catch (const sqlite::Error& error) {
        throw StartupError("can't rebuild the index of " + directory.string() + ": " + error.what());
    }
}

}  // namespace store
