// Every line out: priorities under the journal, and never waiting for a reader.

#include "LogSink.h"
#include "TestSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono;
using namespace test_support;

TEST(LogSink, PrefixesPrioritiesOnlyOnTheJournalsStream)
{
    TempDir dir;
    const Fd journal(::open((dir.path() / "journal").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    const Fd plain(::open((dir.path() / "plain").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    struct stat status {};
    ::fstat(journal.get(), &status);
    ::setenv("JOURNAL_STREAM", (std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino)).c_str(), 1);
    {
        collector::LogSink log(plain.get(), journal.get());
        ::unsetenv("JOURNAL_STREAM");
        log.out(collector::Priority::Info, "stored a");
        log.err(collector::Priority::Error, "can't store b");
        log.limited(collector::Priority::Warning, "rejected c");
        log.err(collector::Priority::Info, "summary");
        EXPECT_TRUE(log.drain(10s));
    }
    EXPECT_EQ(readFile(dir.path() / "journal"), toBytes("<3>can't store b\n<4>rejected c\n<6>summary\n"));
    EXPECT_EQ(readFile(dir.path() / "plain"), toBytes("stored a\n"));
}

TEST(LogSink, DropsWhatAStreamCantTakeWithoutWaitingForIt)
{
    ::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    Fd reader(ends[0]);
    const Fd writer(ends[1]);
    constexpr int kLines = 20000;  // 2 MB: more than the pipe and the backlog hold
    collector::LogSink log(writer.get(), STDERR_FILENO);
    const auto start = steady_clock::now();
    for (int line = 0; line < kLines; ++line) {
        log.out(collector::Priority::Info, std::string(99, 'x'));
    }
    EXPECT_LT(steady_clock::now() - start, 5s) << "writing lines waited for their reader";
    EXPECT_FALSE(log.drain(100ms));
    EXPECT_GT(log.dropped(), 0U);
    reader.reset();  // a reader that is gone: the rest is dropped too
    EXPECT_TRUE(log.drain(10s));
    EXPECT_GE(log.dropped(), kLines - 65536 / 100U) << "lines past what the pipe took were written";
}

}  // namespace
