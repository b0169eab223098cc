#pragma once

// One end of a UDP exchange: an IPv4 address and port, in host byte order.
// A datagram's sender, or the address a collector listens on.

#include <cstdint>
#include <string>

namespace crashreports {

struct Endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;

    // "10.1.2.3"
    std::string addressText() const;
    // "10.1.2.3:40000"
    std::string text() const;
    friend bool operator==(const Endpoint&, const Endpoint&) = default;
};

}  // namespace crashreports
