// The collector under systemd: its service protocol and socket activation.

#include "CollectorProcess.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace {

using namespace collector_tests;

// A unix datagram socket standing in for the service manager's notify socket.
class NotifySocket {
public:
    explicit NotifySocket(const fs::path& path) : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.string().copy(address.sun_path, sizeof address.sun_path - 1);
        if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error("can't bind " + path.string());
        }
    }

    // The next message that begins with `start`, skipping others.
    std::optional<std::string> next(std::string_view start, std::chrono::milliseconds timeout = 10s) const
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd entry{fd_.get(), POLLIN, 0};
            if (::poll(&entry, 1, 100) == 1) {
                char message[4096];
                const ssize_t size = ::recv(fd_.get(), message, sizeof message, 0);
                if (size > 0 && std::string_view(message, static_cast<std::size_t>(size)).starts_with(start)) {
                    return std::string(message, static_cast<std::size_t>(size));
                }
            }
        }
        return std::nullopt;
    }

private:
    Fd fd_;
};

TEST(CollectorUnderSystemd, TellsReadinessStatusKeepAliveAndStop)
{
    TempDir dir;
    const NotifySocket manager(dir.path() / "notify");
    RunningCollector collector(dir.path() / "reports",
                               {.process = {.env = {"NOTIFY_SOCKET=" + (dir.path() / "notify").string(),
                                                    "WATCHDOG_USEC=400000"}}});

    const auto ready = manager.next("READY=1");
    ASSERT_TRUE(ready);
    EXPECT_TRUE(ready->starts_with("READY=1\nSTATUS=received 0, stored 0, ")) << *ready;
    EXPECT_TRUE(manager.next("WATCHDOG=1", 1s)) << "no keep-alive within the watchdog's interval";
    collector.child().signal(SIGTERM);
    EXPECT_TRUE(manager.next("STOPPING=1"));
    EXPECT_EQ(collector.child().wait().status, 0);
}

TEST(CollectorUnderSystemd, TakesTheSocketThatSocketActivationPasses)
{
    const std::string activate = "/usr/bin/systemd-socket-activate";
    if (!fs::exists(activate)) {
        GTEST_SKIP() << activate << " is not installed";
    }
    TempDir dir;
    const std::uint16_t port = UdpSocket().port();  // free once the socket is gone
    const std::string endpoint = "127.0.0.1:" + std::to_string(port);
    Child activator(
        {activate, "--datagram", "-l", endpoint, kCollector, "--port", "1", "--keep-free", "0", dir.path().string()});
    while (const auto line = activator.readErrLine()) {
        if (line->starts_with("Listening on")) {
            break;
        }
    }
    const Bytes report = toBytes("activated");

    UdpSocket().sendTo(port, makeFrame(report));

    std::optional<std::string> line;
    while ((line = activator.readErrLine()) && !line->starts_with("listening on ")) {
    }
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->starts_with("listening on " + endpoint + ", ")) << *line;
    const auto stored = activator.readOutLine();
    ASSERT_TRUE(stored);
    EXPECT_TRUE(stored->starts_with("stored ")) << *stored;
    activator.signal(SIGTERM);
    EXPECT_EQ(activator.wait().status, 0);
    EXPECT_EQ(storedIn(dir.path()), std::vector<std::string>{"activated"});
}

}  // namespace
