// Every line out: priorities under the journal, and never waiting for a reader.

#include "TestSupport.h"
#include "collector/LogSink.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>
#include <thread>

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

// A pipe whose reader takes what comes, slowly when asked, on a thread of its own.
class PipeReader {
public:
    explicit PipeReader(std::chrono::milliseconds pause = {}) : pause_(pause)
    {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        writer_ = Fd(ends[1]);
        reader_ = std::thread([this, fd = Fd(ends[0])] {
            char chunk[1000];
            for (ssize_t count; (count = ::read(fd.get(), chunk, sizeof chunk)) > 0;) {
                text_.append(chunk, static_cast<std::size_t>(count));
                std::this_thread::sleep_for(pause_);
            }
        });
    }
    int fd() const { return writer_.get(); }
    // Everything written, once the writing end is closed.
    std::vector<std::string> lines()
    {
        writer_.reset();
        reader_.join();
        std::vector<std::string> lines;
        std::istringstream text(text_);
        for (std::string line; std::getline(text, line);) {
            lines.push_back(line);
        }
        return lines;
    }

private:
    std::chrono::milliseconds pause_;
    Fd writer_;
    std::string text_;
    std::thread reader_;
};

// Line `index` of a test: long enough to be written in parts.
std::string numbered(char stream, int index)
{
    return stream + std::to_string(index) + std::string(3000, '.');
}

TEST(LogSink, WritesWholeLinesInOrderWhereBothStreamsLeadToOnePlace)
{
    PipeReader place(1ms);
    Fd sameAgain(::dup(place.fd()));
    std::vector<std::string> sent;
    {
        collector::LogSink log(place.fd(), sameAgain.get());
        for (int index = 0; index < 200; ++index) {
            sent.push_back(numbered(index % 3 == 0 ? 'e' : 'o', index));
            if (index % 3 == 0) {
                log.err(collector::Priority::Info, sent.back());
            } else {
                log.out(collector::Priority::Info, sent.back());
            }
        }
        ASSERT_TRUE(log.drain(30s));
    }
    sameAgain.reset();
    EXPECT_EQ(place.lines(), sent);
}

TEST(LogSink, FinishesALineCutShortAndAlwaysWritesTheLastLineToASlowReader)
{
    ::signal(SIGPIPE, SIG_IGN);
    PipeReader slow(20ms);
    constexpr int kLines = 300;  // 900 KB: far more than the reader takes in the time given
    std::uint64_t counted = 0;
    {
        collector::LogSink log(slow.fd(), slow.fd());
        for (int index = 0; index < kLines; ++index) {
            log.out(collector::Priority::Info, numbered('o', index));
        }
        log.finish(
            [&](std::uint64_t dropped) {
                counted = dropped;
                return "summary: dropped " + std::to_string(dropped);
            },
            collector::Priority::Info);
    }
    const auto lines = slow.lines();

    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "summary: dropped " + std::to_string(counted));
    EXPECT_GT(counted, 0U);
    EXPECT_EQ(lines.size() - 1 + counted, static_cast<std::uint64_t>(kLines)) << "lines lost or counted twice";
    for (std::size_t index = 0; index + 1 < lines.size(); ++index) {
        EXPECT_EQ(lines[index], numbered('o', static_cast<int>(index))) << "a line cut short or out of order";
    }
}

}  // namespace
