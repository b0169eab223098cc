#include "collector/ServiceManager.h"

#include "common/StartupError.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <string>

#ifdef HAVE_LIBSYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace collector {

using crashreports::StartupError;
using crashreports::UniqueFd;

#ifdef HAVE_LIBSYSTEMD

namespace {

void notify(const std::string& state)
{
    ::sd_notify(0, state.c_str());
}

}  // namespace

ServiceManager::ServiceManager()
{
    std::uint64_t interval = 0;
    if (::sd_watchdog_enabled(0, &interval) > 0) {
        watchdog_ = std::chrono::microseconds(interval);
    }
}

std::optional<UniqueFd> ServiceManager::takeSocket()
{
    const int count = ::sd_listen_fds(1);
    if (count <= 0) {
        return std::nullopt;
    }
    if (count != 1 || ::sd_is_socket_inet(SD_LISTEN_FDS_START, AF_INET, SOCK_DGRAM, -1, 0) <= 0) {
        throw StartupError("systemd passed " + std::to_string(count)
                           + " file descriptors; expected one IPv4 UDP socket (ListenDatagram=)");
    }
    ::fcntl(SD_LISTEN_FDS_START, F_SETFD, FD_CLOEXEC);
    return UniqueFd(SD_LISTEN_FDS_START);
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

#else

ServiceManager::ServiceManager() = default;
std::optional<UniqueFd> ServiceManager::takeSocket()
{
    return std::nullopt;
}
void ServiceManager::ready(std::string_view) {}
void ServiceManager::status(std::string_view) {}
void ServiceManager::keepAlive() {}
void ServiceManager::stopping() {}
std::chrono::milliseconds ServiceManager::keepAliveInterval(std::chrono::milliseconds most) const
{
    return most;
}

#endif

}  // namespace collector
