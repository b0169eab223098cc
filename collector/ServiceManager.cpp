#include "collector/ServiceManager.h"

#include "common/StartupError.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace collector {

using crashreports::StartupError;
using crashreports::UniqueFd;

namespace {

// The first descriptor that systemd passes.
constexpr int kFirstPassedFd = 3;

#ifdef HAVE_LIBSYSTEMD

int passedCount(bool take)
{
    return ::sd_listen_fds(take ? 1 : 0);
}

bool isIPv4Udp(int fd)
{
    return ::sd_is_socket_inet(fd, AF_INET, SOCK_DGRAM, -1, 0) > 0;
}

void notify(const std::string& state)
{
    ::sd_notify(0, state.c_str());
}

std::optional<std::chrono::microseconds> watchdogInterval()
{
    std::uint64_t interval = 0;
    if (::sd_watchdog_enabled(0, &interval) > 0) {
        return std::chrono::microseconds(interval);
    }
    return std::nullopt;
}

#else

// A whole positive number from the environment, or nothing.
std::optional<unsigned long long> numberFrom(const char* name)
{
    const char* text = std::getenv(name);
    if (text == nullptr || *text < '0' || *text > '9') {
        return std::nullopt;
    }
    char* end = nullptr;
    const unsigned long long number = std::strtoull(text, &end, 10);
    return *end == '\0' && number != 0 ? std::optional(number) : std::nullopt;
}

// Whether a variable of the protocol is meant for this process.
bool forThisProcess(const char* pidName)
{
    const auto pid = numberFrom(pidName);
    return pid && *pid == static_cast<unsigned long long>(::getpid());
}

int passedCount(bool take)
{
    const auto count = numberFrom("LISTEN_FDS");
    const bool ours = forThisProcess("LISTEN_PID") && count;
    if (take) {
        for (const char* name : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"}) {
            ::unsetenv(name);
        }
    }
    return ours ? static_cast<int>(std::min<unsigned long long>(*count, 1024)) : 0;
}

bool isIPv4Udp(int fd)
{
    int domain = 0;
    int type = 0;
    socklen_t length = sizeof domain;
    if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length) != 0) {
        return false;
    }
    length = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && domain == AF_INET && type == SOCK_DGRAM;
}

void notify(const std::string& state)
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    if (path == nullptr || (path[0] != '/' && path[0] != '@') || std::strlen(path) >= sizeof address.sun_path) {
        return;
    }
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    if (path[0] == '@') {
        address.sun_path[0] = '\0';  // an abstract address
    }
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(path));
    const UniqueFd fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ::sendto(fd.get(), state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address), length);
}

std::optional<std::chrono::microseconds> watchdogInterval()
{
    const auto interval = numberFrom("WATCHDOG_USEC");
    if (!interval || (std::getenv("WATCHDOG_PID") != nullptr && !forThisProcess("WATCHDOG_PID"))) {
        return std::nullopt;
    }
    return std::chrono::microseconds(*interval);
}

#endif

}  // namespace

ServiceManager::ServiceManager() : watchdog_(watchdogInterval()) {}

bool ServiceManager::socketPassed() const
{
    return passedCount(false) > 0;
}

std::optional<UniqueFd> ServiceManager::takeSocket()
{
    const int count = passedCount(true);
    if (count <= 0) {
        return std::nullopt;
    }
    if (count != 1 || !isIPv4Udp(kFirstPassedFd)) {
        throw StartupError("systemd passed " + std::to_string(count)
                           + " file descriptors; expected one IPv4 UDP socket (ListenDatagram=)");
    }
    ::fcntl(kFirstPassedFd, F_SETFD, FD_CLOEXEC);
    return UniqueFd(kFirstPassedFd);
}

void ServiceManager::ready(std::string_view status)
{
    notify("READY=1\nSTATUS=" + std::string(status));
}

void ServiceManager::status(std::string_view status)
{
    notify("STATUS=" + std::string(status));
}

void ServiceManager::keepAlive()
{
    const auto now = std::chrono::steady_clock::now();
    if (watchdog_ && now - lastKeepAlive_ >= *watchdog_ / 2) {
        lastKeepAlive_ = now;
        notify("WATCHDOG=1");
    }
}

void ServiceManager::stopping()
{
    notify("STOPPING=1");
}

std::chrono::milliseconds ServiceManager::keepAliveInterval(std::chrono::milliseconds most) const
{
    if (!watchdog_) {
        return most;
    }
    return std::min(most, std::max(std::chrono::milliseconds(1),
                                   std::chrono::duration_cast<std::chrono::milliseconds>(*watchdog_ / 4)));
}

}  // namespace collector
