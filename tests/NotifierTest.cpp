// News of crash groups: the line, and a command that must not outstay its time.

#include "TestSupport.h"
#include "collector/Notifier.h"

#include <fcntl.h>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono;
using namespace test_support;

// What a notifier with `command` wrote of one piece of news, once it stopped.
std::string linesOf(const std::string& command, milliseconds wait)
{
    TempDir dir;
    const Fd out(::open((dir.path() / "out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    {
        collector::LogSink log(out.get(), out.get());
        {
            collector::Notifier notifier(log, command, 200ms);
            notifier.tell({store::GroupEvent::New, "0123456789abcdef", "SIGSEGV in parse_header",
                           "20261208T115959.000042Z_10.1.2.3_40000_000007.report", "10.1.2.3:40000"});
            std::this_thread::sleep_for(wait);
        }
        EXPECT_TRUE(log.drain(10s));
    }
    const Bytes written = readFile(dir.path() / "out");
    return std::string(written.begin(), written.end());
}

TEST(Notifier, KillsACommandThatOutstaysItsTimeWithEverythingItStarted)
{
    const auto start = steady_clock::now();
    const std::string lines = linesOf("sleep 30 & sleep 30", 1s);

    EXPECT_LT(steady_clock::now() - start, 5s);
    EXPECT_NE(lines.find("new crash group 0123456789abcdef: SIGSEGV in parse_header (report "),
              std::string::npos) << lines;
    EXPECT_NE(lines.find("the command for crash group 0123456789abcdef was killed after "), std::string::npos)
        << lines;
}

}  // namespace
