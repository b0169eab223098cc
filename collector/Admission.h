#pragma once

// Which datagrams the receiver lets in, decided before anything else is done
// with them: only senders on an allowed network, and at most so many reports
// a minute from one sender address. Pure decisions on their inputs.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace collector {

// An IPv4 network: an address and a prefix length, as in 10.0.0.0/8.
struct Network {
    std::uint32_t address = 0;  // host byte order, host bits cleared
    std::uint32_t mask = 0;
    bool contains(std::uint32_t sender) const { return (sender & mask) == address; }
    friend bool operator==(const Network&, const Network&) = default;
};

// "10.0.0.0/8", "192.168.1.7" (a /32); nothing for anything else.
std::optional<Network> parseNetwork(std::string_view text);

// Counts the datagrams of each sender address in one-minute windows, in a
// table of fixed size: a flood from forged addresses can't grow it. When a
// new address finds no free slot among the few it may take, it takes the one
// with the lowest count, so the heavy senders that a limit is for stay
// counted while one-off addresses come and go.
class SenderLimiter {
public:
    static constexpr std::size_t kSlots = 1 << 16;
    static constexpr std::size_t kProbe = 8;

    explicit SenderLimiter(std::uint32_t perMinute);
    // Counts one datagram of `sender` at `now`; whether it is within the limit.
    bool admit(std::uint32_t sender, std::chrono::steady_clock::time_point now);
    std::size_t memoryBytes() const { return slots_.capacity() * sizeof(Slot); }

private:
    struct Slot {
        std::uint32_t address = 0;
        std::uint32_t count = 0;  // 0: free
        std::int64_t windowStart = 0;  // seconds
    };
    std::uint32_t perMinute_;
    std::vector<Slot> slots_;
};

enum class Verdict { Admitted, NotAllowed, OverLimit };

class Admission {
public:
    // An empty allowlist allows every sender; a limit of 0 is no limit.
    Admission(std::vector<Network> allowed, std::uint32_t perMinute);
    Verdict admit(std::uint32_t sender, std::chrono::steady_clock::time_point now);

private:
    std::vector<Network> allowed_;
    std::optional<SenderLimiter> limiter_;
};

}  // namespace collector
