#pragma once

// Where a datagram came from: an IPv4 address and port, in host byte order.

#include <cstdint>
#include <string>

namespace collector {

struct Sender {
    std::uint32_t address = 0;
    std::uint16_t port = 0;

    // "10.1.2.3"
    std::string addressText() const;
    // "10.1.2.3:40000"
    std::string endpoint() const;
};

}  // namespace collector
