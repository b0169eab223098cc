#pragma once

// The collector's side of systemd's service protocol: readiness, a status
// line, watchdog keep-alives, and the socket that socket activation hands
// over. With libsystemd it speaks through it; without, it reads the same
// environment (LISTEN_PID, LISTEN_FDS, NOTIFY_SOCKET, WATCHDOG_USEC,
// WATCHDOG_PID) and sends the same datagrams itself, so that the installed
// units work either way. Run outside systemd, each call does nothing and no
// socket is handed over.

#include "common/UniqueFd.h"

#include <chrono>
#include <optional>
#include <string_view>

namespace collector {

using crashreports::UniqueFd;

class ServiceManager {
public:
    ServiceManager();

    // Whether systemd passed this process a socket, without taking it.
    bool socketPassed() const;
    // The UDP socket that systemd passed, if it passed one. Throws
    // StartupError if it passed anything else.
    std::optional<UniqueFd> takeSocket();

    void ready(std::string_view status);
    void status(std::string_view status);
    // A keep-alive, if half the watchdog's interval has passed since the last.
    void keepAlive();
    // How often keepAlive() must be called at least: `most`, or less when
    // the watchdog needs it.
    std::chrono::milliseconds keepAliveInterval(std::chrono::milliseconds most) const;
    void stopping();

private:
    std::optional<std::chrono::microseconds> watchdog_;
    std::chrono::steady_clock::time_point lastKeepAlive_{};
};

}  // namespace collector
