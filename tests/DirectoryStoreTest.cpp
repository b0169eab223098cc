// The directory store's files: whole reports under names of its own,
// temporaries, a directory that goes away, and collectors that share it.

#include "DirectoryStoreSupport.h"
#include "common/StartupError.h"
#include "store/directory/ReportFiles.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include <gtest/gtest.h>

namespace {

using namespace directory_store_test;

std::vector<std::string> namesIn(const std::filesystem::path& directory)
{
    std::vector<std::string> names;
    for (const auto& file : filesIn(directory)) {
        names.push_back(file.filename().string());
    }
    return names;
}

// The names in `directory` of temporaries.
std::vector<std::string> temporariesIn(const std::filesystem::path& directory)
{
    std::vector<std::string> names;
    for (const auto& name : namesIn(directory)) {
        if (name.starts_with(".incoming-")) {
            names.push_back(name);
        }
    }
    return names;
}

// What the store has to say once it has prepared a batch.
std::vector<store::Notice> noticesOfBatch(DirectoryStore& store)
{
    store.prepareBatch();
    return store.drainOutbox(store::Settle::No).notices;
}

TEST(DirectoryStore, StoresTheBytesUnderANameOfItsOwn)
{
    TempDir dir;
    const auto store = openStore(dir.path() / "reports" / "nested");
    const Bytes report = randomBytes(5000);

    const auto result = storeOne(*store, report);

    ASSERT_TRUE(result.stored()) << result.error;
    EXPECT_EQ(readFile(store->directory() / result.name), report);
    EXPECT_EQ(temporariesIn(store->directory()), std::vector<std::string>{});
}

TEST(DirectoryStore, GivesATakenNameAnotherAndReplacesNothing)
{
    TempDir dir;
    const system_clock::time_point received{seconds(1796731199)};
    // A restarted collector counts from 1 again: the same instant gives the same name.
    const auto first = storeOne(*openStore(dir.path()), toBytes("first"), received);
    const auto store = openStore(dir.path());

    const auto second = storeOne(*store, toBytes("second"), received);

    ASSERT_TRUE(second.stored()) << second.error;
    EXPECT_NE(second.name, first.name);
    EXPECT_EQ(readFile(dir.path() / first.name), toBytes("first"));
    EXPECT_EQ(readFile(dir.path() / second.name), toBytes("second"));
}

TEST(DirectoryStore, FailsWithoutLeavingATemporaryWhenTheDirectoryIsGone)
{
    TempDir dir;
    const auto store = openStore(dir.path() / "reports");
    std::filesystem::remove_all(dir.path() / "reports");

    const auto result = storeOne(*store, toBytes("report"));

    EXPECT_FALSE(result.stored());
    EXPECT_NE(result.error.find("can't create"), std::string::npos) << result.error;
}

TEST(DirectoryStore, MakesARemovedDirectoryAgain)
{
    TempDir dir;
    const auto store = openStore(dir.path() / "reports");
    std::filesystem::remove_all(dir.path() / "reports");

    const auto notices = noticesOfBatch(*store);

    ASSERT_EQ(notices.size(), 1U);
    EXPECT_FALSE(notices[0].failure());
    EXPECT_NE(notices[0].line.find("was removed: made it again"), std::string::npos) << notices[0].line;
    EXPECT_TRUE(storeOne(*store, toBytes("report")).stored());
    EXPECT_TRUE(noticesOfBatch(*store).empty()) << "reopened what was in place";
}

TEST(DirectoryStore, TriesAgainWhenItCouldOpenButNotLockTheNewDirectory)
{
#ifdef SANITIZED
    GTEST_SKIP() << "a sanitizer's runtime takes descriptors of its own where the test leaves room for one";
#endif
    TempDir dir;
    const auto store = openStore(dir.path() / "reports");
    std::filesystem::remove_all(dir.path() / "reports");
    // Room for the directory's descriptor and none for its lock file.
    const int lowestFree = ::dup(STDIN_FILENO);
    ::close(lowestFree);
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const rlimit tight{static_cast<rlim_t>(lowestFree + 1), limit.rlim_max};
    ::setrlimit(RLIMIT_NOFILE, &tight);

    const auto failed = noticesOfBatch(*store);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    const auto retried = noticesOfBatch(*store);

    ASSERT_EQ(failed.size(), 1U);
    EXPECT_TRUE(failed[0].failure());
    EXPECT_NE(failed[0].line.find("can't take a lock file"), std::string::npos) << failed[0].line;
    ASSERT_EQ(retried.size(), 1U) << "took the directory that it could not lock for its own";
    EXPECT_FALSE(retried[0].failure()) << retried[0].line;
    EXPECT_EQ(std::ranges::count_if(namesIn(store->directory()), [](const std::string& name) {
                  return name.ends_with(".lock");
              }),
              1);
}

TEST(DirectoryStore, RefusesASymbolicLinkPutInPlaceOfItsDirectory)
{
    TempDir dir;
    const auto store = openStore(dir.path() / "reports");
    std::filesystem::create_directory(dir.path() / "elsewhere");
    std::filesystem::rename(dir.path() / "reports", dir.path() / "old");
    std::filesystem::create_directory_symlink(dir.path() / "elsewhere", dir.path() / "reports");

    const auto notices = noticesOfBatch(*store);

    ASSERT_EQ(notices.size(), 1U);
    EXPECT_TRUE(notices[0].failure());
    EXPECT_NE(notices[0].line.find("replaced by a symbolic link"), std::string::npos) << notices[0].line;
    EXPECT_TRUE(storeOne(*store, toBytes("report")).stored());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "elsewhere")) << "followed the link";
}

TEST(DirectoryStore, RemovesOnlyTheTemporariesOfCollectorsThatAreGone)
{
    TempDir dir;
    // What a killed collector leaves: its temporary, and its lock file no longer locked.
    dir.write(".collector-00000000deadbeef.lock", "");
    dir.write(".incoming-00000000deadbeef-1.tmp", "half a rep");
    dir.write("kept.report", "whole");
    const auto live = openStore(dir.path());
    catchUp(*live);
    auto inFlight = live->stage(toBytes("in flight"), infoOf(toBytes("in flight"), system_clock::now()));
    ASSERT_TRUE(inFlight.pending);
    const auto staged = temporariesIn(dir.path());

    const auto next = openStore(dir.path());
    catchUp(*next);

    EXPECT_EQ(staged.size(), 1U);
    EXPECT_EQ(temporariesIn(dir.path()), staged);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / ".collector-00000000deadbeef.lock"));
    EXPECT_TRUE(commitOne(*live, std::move(*inFlight.pending)).stored());
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "kept.report"));
}

TEST(DirectoryStore, RefusesADirectoryItCannotCreate)
{
    TempDir dir;
    const auto file = dir.write("file", "x");
    EXPECT_THROW(openStore(file / "reports"), crashreports::StartupError);
}

// Stores `report` through `files` alone: staged, then named.
std::string nameThrough(store::ReportFiles& files, const Bytes& report)
{
    auto staged = files.stage(report);
    EXPECT_TRUE(staged.staging) << staged.error;
    const store::PendingReport pending{report.size(), infoOf(report, system_clock::now()), std::move(staged.staging)};
    return files.name(pending, {}).name;
}

TEST(ReportFiles, WritesAReportOverARemovedOnesFileWithNothingOfItLeft)
{
    TempDir dir;
    {
        store::ReportFiles files(dir.path());
        files.limitRecycling(4, 1 << 20);
        const std::string large = nameThrough(files, randomBytes(20000, 1));
        bool gone = true;
        ASSERT_EQ(files.remove(large, gone), "");
        EXPECT_FALSE(gone);
        EXPECT_FALSE(std::filesystem::exists(dir.path() / large));

        const Bytes small = toBytes("a report shorter than the one removed");
        const std::string name = nameThrough(files, small);

        EXPECT_EQ(readFile(dir.path() / name), small) << "bytes of the removed report were left";
        EXPECT_EQ(namesIn(dir.path()).size(), 2U) << "the report and the lock file, nothing else";
        ASSERT_EQ(files.remove(name, gone), "");
    }
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{}) << "a removed report's file outlived the store";
}

TEST(DirectoryStore, CountsThePageOnItsFilesystemInItsBudget)
{
    for (const std::uint64_t page : {std::uint64_t{0}, std::uint64_t{1} << 20}) {
        TempDir dir;
        std::atomic<std::uint64_t> siteDisk{page};
        store::StoreOptions options;
        options.budget = {.maxUse = 2 << 20, .keepFree = 0, .keepFreeInodes = 0};
        options.alsoOnDisk = &siteDisk;
        const auto store = openStore(dir.path(), options);
        for (int report = 0; report < 100; ++report) {
            storeOne(*store, randomBytes(8000, static_cast<unsigned>(report)));
        }
        store->drainOutbox(store::Settle::Yes);
        store->prepareBatch();

        const Bytes incoming = randomBytes(8000, 1000);
        const store::Room room = store->makeRoom(incoming.size(), infoOf(incoming, system_clock::now()));

        EXPECT_TRUE(room.fits) << page;
        EXPECT_EQ(room.removedReports != 0, page != 0) << "with a page of " << page << " bytes";
    }
}

}  // namespace
