// The directory store's index when things go wrong: a reader that holds its
// log, the index removed, damaged or another user's, and the news of the
// crashes it missed meanwhile.

#include "DirectoryStoreSupport.h"
#include "common/StartupError.h"
#include "store/ReportNames.h"
#include "store/directory/DirectoryCatalog.h"
#include "store/directory/DirectoryIndex.h"
#include "store/directory/ReportIndex.h"

#include <algorithm>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace directory_store_test;

// Three crashes of their own, each stored by a collector of its own; their names.
std::vector<std::string> storeThreeCrashes(const std::filesystem::path& directory)
{
    std::vector<std::string> names;
    for (const char* function : {"parse_header", "load_config", "draw_frame"}) {
        const std::string crash = std::string("signal 11 (SIGSEGV)\n#0  0x1 in ") + function + " (a.c:1)\n";
        names.push_back(storeOne(*openStore(directory), toBytes(crash)).name);
    }
    return names;
}

std::size_t indexedIn(const std::filesystem::path& directory)
{
    return store::DirectoryCatalog(directory).countReports({});
}

// Writes `bytes` over the index file from `offset` to its end.
void overwriteIndex(const std::filesystem::path& directory, std::size_t offset)
{
    const auto file = directory / store::kIndexFileName;
    Bytes bytes = readFile(file);
    const Bytes noise = randomBytes(bytes.size() - offset, 7);
    std::copy(noise.begin(), noise.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(DirectoryStore, TellsTheNewsOfCrashesItsIndexMissedButNoneOfAnIndexMadeAnew)
{
    TempDir dir;
    storeThreeCrashes(dir.path());
    // Stored while the index could not take it.
    const std::string missed = store::reportFileName(system_clock::now() + hours(1), kLoopback, 9);
    dir.write(missed, "signal 11 (SIGSEGV)\n#0  0x1 in parse_body (a.c:1)\n");
    std::vector<std::string> told;
    {
        const auto store = openStore(dir.path());
        catchUp(*store);
        for (const auto& news : store->drainOutbox(store::Settle::No).news) {
            told.push_back(news.report);
        }
    }
    for (const char* name : store::kIndexFiles) {
        std::filesystem::remove(dir.path() / name);
    }
    const auto store = openStore(dir.path());
    catchUp(*store);

    EXPECT_EQ(told, std::vector<std::string>{missed});
    EXPECT_TRUE(store->drainOutbox(store::Settle::No).news.empty()) << "the crashes of an index made anew told";
    EXPECT_EQ(indexedIn(dir.path()), 4U);
}

TEST(DirectoryStore, MakesAnIndexThatWasRemovedAgainAndSaysSo)
{
    TempDir dir;
    const auto store = openStore(dir.path());
    catchUp(*store);
    storeOne(*store, toBytes("signal 11 (SIGSEGV)\n#0  0x1 in parse_header (a.c:1)\n"));
    store->drainOutbox(store::Settle::Yes);
    for (const char* name : store::kIndexFiles) {
        std::filesystem::remove(dir.path() / name);
    }

    catchUp(*store);

    const auto notices = store->drainOutbox(store::Settle::No).notices;
    ASSERT_FALSE(notices.empty());
    EXPECT_NE(notices[0].line.find("was removed or replaced: made it again"), std::string::npos) << notices[0].line;
    EXPECT_EQ(indexedIn(dir.path()), 1U);
}

TEST(DirectoryStore, MakesADamagedIndexAnewFromItsReportsAndSaysSo)
{
    // Damaged in its header: it can't be opened; in its pages: a write
    // finds it out.
    for (const std::size_t from : {std::size_t{0}, std::size_t{4096}}) {
        TempDir dir;
        storeThreeCrashes(dir.path());
        overwriteIndex(dir.path(), from);
        const auto store = openStore(dir.path());
        storeOne(*store, toBytes("signal 11 (SIGSEGV)\n#0  0x1 in parse_body (a.c:1)\n"));
        std::string said;
        for (int round = 0; round < 3; ++round) {
            catchUp(*store);
            for (const auto& notice : store->drainOutbox(store::Settle::Yes).notices) {
                said += notice.line + "\n";
            }
        }

        EXPECT_TRUE(said.find("made it anew") != std::string::npos || said.find("is damaged") != std::string::npos)
            << from << ": " << said;
        EXPECT_EQ(indexedIn(dir.path()), 4U) << from << ": " << said;
    }
}

TEST(DirectoryStore, RebuildsAnIndexForReindexWhateverStateItIsIn)
{
    TempDir dir;
    storeThreeCrashes(dir.path());
    overwriteIndex(dir.path(), 0);

    const store::Rebuilt rebuilt = store::rebuildIndex(dir.path(), rules());

    EXPECT_EQ(rebuilt.reports, 3U);
    EXPECT_EQ(rebuilt.groups, 3U);
    EXPECT_EQ(indexedIn(dir.path()), 3U);
}

TEST(DirectoryStore, BoundsTheIndexsLogWhileAReaderHoldsItAndIndexesOnceItLetsGo)
{
    TempDir dir;
    store::StoreOptions options;
    options.budget = {.maxUse = 16 << 20, .keepFree = 0, .keepFreeInodes = 0};  // a log of 1 MiB at most
    const auto store = openStore(dir.path(), options);
    catchUp(*store);
    storeOne(*store, toBytes("signal 11 (SIGSEGV)\n#0  0x1 in first (a.c:1)\n"));
    store->drainOutbox(store::Settle::Yes);
    auto reader = std::make_unique<store::sqlite::Database>(dir.path() / store::kIndexFileName, true);
    auto holding = reader->prepare("SELECT count(*) FROM reports");
    ASSERT_TRUE(holding.step()) << "the reader's transaction is open while its statement is";

    std::string said;
    for (int report = 0; report < 2000; ++report) {
        const Bytes crash = toBytes("signal 11 (SIGSEGV)\n#0  0x1 in crash_" + std::to_string(report) + " (a.c:1)\n");
        storeOne(*store, crash);
        for (const auto& notice : store->drainOutbox(store::Settle::No).notices) {
            said += notice.line + "\n";
        }
    }
    const auto logBytes = std::filesystem::file_size(dir.path() / (std::string(store::kIndexFileName) + "-wal"));
    holding.reset();
    reader.reset();
    std::this_thread::sleep_for(1100ms);
    catchUp(*store);
    for (const auto& notice : store->drainOutbox(store::Settle::Yes).notices) {
        said += notice.line + "\n";
    }

    EXPECT_NE(said.find("indexing waits for a reader of"), std::string::npos) << said;
    EXPECT_LE(logBytes, 8U << 20) << "the log grew while a reader held it";
    EXPECT_NE(said.find("let go after"), std::string::npos) << said;
    EXPECT_EQ(indexedIn(dir.path()), 2001U) << said;
}

TEST(DirectoryCatalog, NamesAnIndexOfAnotherVersionAndWhatMakesItAnew)
{
    TempDir dir;
    storeThreeCrashes(dir.path());
    store::sqlite::Database(dir.path() / store::kIndexFileName, false).execute("PRAGMA user_version = 5");

    try {
        store::DirectoryCatalog catalog(dir.path());
        FAIL() << "read an index of another version";
    } catch (const crashreports::StartupError& error) {
        EXPECT_NE(std::string(error.what()).find("has an index of version 5"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("run crashReports reindex"), std::string::npos) << error.what();
    }
}

}  // namespace
