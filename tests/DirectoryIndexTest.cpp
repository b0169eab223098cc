// The directory store's index: what it records and when, the thread that
// writes it, a group's news, and catching up with the files.

#include "DirectoryStoreSupport.h"
#include "store/ReportNames.h"
#include "store/directory/DirectoryCatalog.h"
#include "store/directory/DirectoryIndex.h"
#include "store/directory/IndexWriter.h"
#include "store/directory/ReportIndex.h"

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace directory_store_test;

TEST(DirectoryStore, TellsAGroupsFirstReportAndItsReturnAfterAQuietTime)
{
    using store::GroupEvent;
    TempDir dir;
    const auto store = openStore(dir.path(), {.regressedAfter = hours(1)});
    const system_clock::time_point start{seconds(1796731199)};
    const Bytes crash = toBytes("signal 11 (SIGSEGV)\n#0  0x00000000004011a6 in parse_header (http.c:120)\n");
    const Bytes other = toBytes("signal 6 (SIGABRT)\n#0  0x00000000004011a6 in load_config (config.c:7)\n");

    std::vector<std::string> names;
    for (const auto& [report, at] : {std::pair{crash, start}, std::pair{crash, start + minutes(30)},
                                     std::pair{other, start + minutes(31)}, std::pair{crash, start + minutes(91)}}) {
        names.push_back(storeOne(*store, report, at).name);
    }
    const store::Outbox outbox = store->drainOutbox(store::Settle::Yes);

    std::vector<std::pair<GroupEvent, std::string>> told;
    for (const auto& news : outbox.news) {
        told.emplace_back(news.event, news.report);
    }
    const std::vector<std::pair<GroupEvent, std::string>> expected{
        {GroupEvent::New, names[0]}, {GroupEvent::New, names[2]}, {GroupEvent::Regressed, names[3]}};
    EXPECT_EQ(told, expected);
}

// What `select` reads from the index, a text a row.
std::vector<std::string> rowsOf(store::ReportIndex& index, const std::string& select)
{
    auto statement = index.database().prepare(select);
    std::vector<std::string> rows;
    while (statement.step()) {
        rows.push_back(statement.text(0));
    }
    return rows;
}

TEST(ReportIndex, AddsABatchAsItAddsItsReportsOneByOne)
{
    using store::GroupEvent;
    const system_clock::time_point start{seconds(1796731199)};
    const auto entry = [&](const std::string& id, const std::string& group, int minute, std::uint32_t address) {
        store::IndexEntry added{id, start + minutes(minute), Endpoint{address, 4000}, 100, 4096, {}};
        added.signature.id = group;
        added.signature.title = "title of " + id;
        return added;
    };
    // Before the batch: a group of one report, and one whose only report is gone.
    const std::vector<store::IndexEntry> before{entry("a1", "A", 0, 1), entry("c1", "C", 0, 1)};
    // Out of order, a tie in time, a second sender, a report already there,
    // a new group and the gone one's return.
    const std::vector<store::IndexEntry> batch{entry("a3", "A", 50, 2), entry("a2", "A", 20, 1),
                                               entry("a4", "A", 50, 1), entry("a1", "A", 0, 1),
                                               entry("b1", "B", 30, 3), entry("c2", "C", 200, 2),
                                               entry("c3", "C", 201, 2)};
    TempDir together;
    TempDir alone;
    store::ReportIndex batched(together.path());
    store::ReportIndex single(alone.path());
    std::vector<GroupEvent> batchedEvents;
    std::vector<GroupEvent> singleEvents;
    for (auto* index : {&batched, &single}) {
        index->add(before, hours(1));
        index->forget({"c1"});
    }
    batchedEvents = batched.add(batch, hours(1));
    for (const auto& added : batch) {
        singleEvents.push_back(single.add({added}, hours(1)).front());
    }

    EXPECT_EQ(batchedEvents, singleEvents);
    // The gone one left the index with its last report: its return is new.
    EXPECT_EQ(batchedEvents, (std::vector<GroupEvent>{GroupEvent::None, GroupEvent::None, GroupEvent::None,
                                                      GroupEvent::None, GroupEvent::New, GroupEvent::New,
                                                      GroupEvent::None}));
    for (const char* select : {"SELECT grp||title||count||'|'||disk||'|'||hosts||'|'||first_seen||'|'||last_seen||newest "
                               "FROM groups ORDER BY grp",
                               "SELECT grp||address||'|'||count FROM group_senders ORDER BY grp, address",
                               "SELECT address||'|'||count||'|'||disk FROM senders ORDER BY address",
                               "SELECT id||grp FROM reports ORDER BY rowid"}) {
        EXPECT_EQ(rowsOf(batched, select), rowsOf(single, select)) << select;
    }
}

TEST(IndexWriter, KeepsAGroupItWroteMeanwhileOnlyIfItIsClosedAsDurable)
{
    enum class End { Durable, NotDurable, LeftOpen };
    for (const End end : {End::Durable, End::NotDurable, End::LeftOpen}) {
        TempDir dir;
        std::vector<store::GroupNews> news;
        {
            store::ReportIndex index(dir.path());
            store::IndexWriter writer(index, hours(1), 64 << 20);
            // More than one part: all are written before the group ends.
            for (int report = 0; report < 300; ++report) {
                store::IndexEntry entry{"report-" + std::to_string(report), system_clock::now(), kLoopback, 10, 4096, {}};
                entry.signature.id = "group-" + std::to_string(report % 3);
                writer.add(std::move(entry));
            }
            writer.handedAll();
            std::this_thread::sleep_for(milliseconds(50));
            EXPECT_EQ(store::DirectoryCatalog(dir.path()).countReports({}), 0U);
            if (end != End::LeftOpen) {
                writer.close(end == End::Durable ? store::IndexWriter::Ending::Durable
                                                 : store::IndexWriter::Ending::Dropped);
                writer.wait();
                for (auto& written : writer.take()) {
                    news.insert(news.end(), written.news.begin(), written.news.end());
                }
                EXPECT_EQ(writer.unrecorded(), 0U);
            }
        }
        EXPECT_EQ(store::DirectoryCatalog(dir.path()).countReports({}), end == End::Durable ? 300U : 0U);
        EXPECT_EQ(news.size(), end == End::Durable ? 3U : 0U);
    }
}

TEST(IndexWriter, FailsTheGroupsClosedWhileOneWaitedForTheIndexInsteadOfEachWaitingAgain)
{
    TempDir dir;
    store::ReportIndex index(dir.path());
    sqlite3_busy_timeout(index.database().handle(), 200);
    store::IndexWriter writer(index, hours(1), 64 << 20);
    store::sqlite::Database other(dir.path() / store::kIndexFileName, false);
    auto held = std::make_unique<store::sqlite::Transaction>(other);
    const auto handOver = [&](const std::string& id) {
        writer.add({id, system_clock::now(), kLoopback, 10, 4096, {}});
        writer.handedAll();
        writer.close(store::IndexWriter::Ending::Durable);
    };
    handOver("first");
    handOver("second");
    std::vector<store::IndexWriter::Written> written;
    for (int tries = 0; tries < 500 && written.empty(); ++tries) {
        std::this_thread::sleep_for(milliseconds(10));
        written = writer.take();
    }
    // Once the first has failed, the lock is free: the second does not try it.
    held.reset();
    handOver("third");
    writer.wait();
    for (auto& later : writer.take()) {
        written.push_back(std::move(later));
    }

    ASSERT_EQ(written.size(), 3U);
    EXPECT_TRUE(written[0].error && written[1].error);
    EXPECT_FALSE(written[2].error);
    EXPECT_EQ(store::DirectoryCatalog(dir.path()).countReports({}), 1U);
}

TEST(DirectoryStore, SaysWhichStoredReportsAreNotYetInTheIndex)
{
    TempDir dir;
    const auto store = openStore(dir.path());
    const system_clock::time_point received{seconds(1796731199)};
    std::vector<store::PendingReport> group;
    std::uint64_t stored = 0;
    std::size_t news = 0;
    const auto drain = [&] {
        store::Outbox outbox = store->drainOutbox(store::Settle::No);
        news += outbox.news.size();
        return outbox.unrecorded;
    };
    for (std::size_t index = 0; index < 2048; ++index) {
        const Bytes crash = toBytes("signal 11 (SIGSEGV)\n#0  0x1 in crash_" + std::to_string(index) + " (a.c:1)\n");
        group.push_back(std::move(*store->stage(crash, infoOf(crash, received)).pending));
        if (group.size() == 256) {
            stored += group.size();
            store->commit(group);
            group.clear();
            // Those it no longer counts may be announced: they are in the index.
            const std::size_t unrecorded = drain();
            EXPECT_GE(store::DirectoryCatalog(dir.path()).countReports({}), stored - unrecorded);
        }
    }
    // Recorded on its own thread, without settling.
    for (int tries = 0; tries < 500 && drain() != 0; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(store::DirectoryCatalog(dir.path()).countReports({}), stored);
    EXPECT_EQ(news, stored);
}

TEST(DirectoryStore, LetsReportsBeAnnouncedThatTheIndexFailedToTake)
{
    TempDir dir;
    const auto store = openStore(dir.path());
    catchUp(*store);
    std::vector<store::PendingReport> group;
    for (const char* function : {"parse_header", "load_config", "draw_frame"}) {
        const Bytes crash = toBytes(std::string("signal 11 (SIGSEGV)\n#0  0x1 in ") + function + " (a.c:1)\n");
        group.push_back(std::move(*store->stage(crash, infoOf(crash, system_clock::now())).pending));
    }
    // No file may grow now: the index's writes fail as on a full disk.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit none = saved;
    none.rlim_cur = 0;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &none), 0);
    const auto results = store->commit(group);
    std::vector<store::Notice> notices;
    std::size_t unrecorded = group.size();
    for (int tries = 0; tries < 500 && unrecorded != 0; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        store::Outbox outbox = store->drainOutbox(store::Settle::No);
        unrecorded = outbox.unrecorded;
        notices.insert(notices.end(), outbox.notices.begin(), outbox.notices.end());
    }
    ::setrlimit(RLIMIT_FSIZE, &saved);

    for (const auto& result : results) {
        EXPECT_TRUE(result.stored()) << result.error;
    }
    EXPECT_EQ(unrecorded, 0U);
    ASSERT_EQ(notices.size(), 1U);
    EXPECT_TRUE(notices[0].line.starts_with("can't add 3 reports to the index of ")) << notices[0].line;
}

TEST(DirectoryStore, MovesWhatItIndexedIntoTheIndexFileOnceIdle)
{
    TempDir dir;
    const auto store = openStore(dir.path());
    catchUp(*store);
    const auto indexFile = dir.path() / store::kIndexFileName;
    const auto before = std::filesystem::file_size(indexFile);
    for (int index = 0; index < 300; ++index) {
        storeOne(*store, toBytes("signal 11 (SIGSEGV)\n#0  0x1 in crash_" + std::to_string(index) + " (a.c:1)\n"));
    }
    store->drainOutbox(store::Settle::Yes);
    EXPECT_EQ(std::filesystem::file_size(indexFile), before) << "checkpointed while storing";

    catchUp(*store);
    EXPECT_GT(std::filesystem::file_size(indexFile), before);
}

// The store's own name for a report received at `seconds` after 2026-12-08.
std::string reportName(int seconds, int sequence)
{
    return store::reportFileName(system_clock::time_point{std::chrono::seconds(1796688000 + seconds)},
                                 Endpoint{0x0A000001, 4000}, static_cast<std::uint64_t>(sequence));
}

TEST(DirectoryStore, CatchesUpWithReportsItsIndexLacksAndForgetsThoseGone)
{
    TempDir dir;
    std::vector<std::string> names;
    for (const char* function : {"parse_header", "load_config", "draw_frame"}) {
        const std::string crash = std::string("signal 11 (SIGSEGV)\n#0  0x1 in ") + function + " (a.c:1)\n";
        names.push_back(storeOne(*openStore(dir.path()), toBytes(crash)).name);
    }
    // What another program did while no collector ran.
    std::filesystem::remove(dir.path() / names[0]);
    const std::string added = reportName(5, 1);
    dir.write(added, "signal 11 (SIGSEGV)\n#0  0x1 in parse_body (a.c:1)\n");

    const auto store = openStore(dir.path());
    catchUp(*store);

    const auto notices = store->drainOutbox(store::Settle::No).notices;
    ASSERT_EQ(notices.size(), 1U);
    EXPECT_NE(notices[0].line.find("indexed 1 report it lacked, forgot 1 gone"), std::string::npos) << notices[0].line;
    store::DirectoryCatalog catalog(dir.path());
    std::vector<std::string> indexed;
    for (const auto& report : catalog.reports({})) {
        indexed.push_back(report.report);
    }
    std::ranges::sort(indexed);
    std::vector<std::string> expected{names[1], names[2], added};
    std::ranges::sort(expected);
    EXPECT_EQ(indexed, expected);
    EXPECT_EQ(catalog.groups({}).size(), 3U);
}

TEST(DirectoryStore, TrustsAnIndexThatMatchesItsDirectory)
{
    TempDir dir;
    {
        const auto first = openStore(dir.path());
        catchUp(*first);
        storeOne(*first, toBytes("signal 11 (SIGSEGV)\n#0  0x1 in parse_header (a.c:1)\n"));
    }

    const auto store = openStore(dir.path());

    EXPECT_FALSE(store->catchUp(seconds(1))) << "walked the files of a directory that its index matched";
    EXPECT_EQ(store->count(), 1U);
}

}  // namespace
