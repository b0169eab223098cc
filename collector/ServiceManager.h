#pragma once

// The collector's side of systemd's service protocol: readiness, a status
// line, watchdog keep-alives, and the socket that socket activation hands
// over. Built without libsystemd, or run outside systemd, each call does
// nothing and no socket is handed over.

#include "common/UniqueFd.h"

#include <chrono>
#include <optional>
#include <string_view>

namespace collector {

using crashreports::UniqueFd;

class ServiceManager {
public:
    ServiceManager();

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
