#include "collector/Admission.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>

namespace collector {

std::optional<Network> parseNetwork(std::string_view text)
{
    const auto slash = text.find('/');
    const std::string address(text.substr(0, slash));
    in_addr parsed{};
    if (::inet_pton(AF_INET, address.c_str(), &parsed) != 1) {
        return std::nullopt;
    }
    unsigned length = 32;
    if (slash != std::string_view::npos) {
        const std::string_view digits = text.substr(slash + 1);
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
        if (digits.empty() || error != std::errc{} || end != digits.data() + digits.size() || length > 32) {
            return std::nullopt;
        }
    }
    const std::uint32_t mask = length == 0 ? 0 : ~std::uint32_t{0} << (32 - length);
    return Network{ntohl(parsed.s_addr) & mask, mask};
}

SenderLimiter::SenderLimiter(std::uint32_t perMinute) : perMinute_(perMinute), slots_(kSlots) {}

bool SenderLimiter::admit(std::uint32_t sender, std::chrono::steady_clock::time_point now)
{
    const std::int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    // Fibonacci hashing spreads neighbouring addresses over the table.
    const std::size_t home = static_cast<std::size_t>((sender * 2654435769U) >> 16) % kSlots;
    Slot* match = nullptr;
    Slot* free = nullptr;
    Slot* weakest = nullptr;
    for (std::size_t step = 0; step < kProbe && match == nullptr; ++step) {
        Slot& slot = slots_[(home + step) % kSlots];
        if (slot.count != 0 && seconds - slot.windowStart >= 60) {
            slot.count = 0;
        }
        if (slot.count != 0 && slot.address == sender) {
            match = &slot;
        } else if (slot.count == 0) {
            free = free != nullptr ? free : &slot;
        } else if (weakest == nullptr || slot.count < weakest->count) {
            weakest = &slot;
        }
    }
    if (match == nullptr) {
        match = free != nullptr ? free : weakest;
        *match = Slot{sender, 0, seconds};
    }
    // Counted past the limit too, so that a sender that keeps trying stays
    // heavier than any passing address.
    if (match->count != UINT32_MAX) {
        ++match->count;
    }
    return match->count <= perMinute_;
}

Admission::Admission(std::vector<Network> allowed, std::uint32_t perMinute) : allowed_(std::move(allowed))
{
    if (perMinute != 0) {
        limiter_.emplace(perMinute);
    }
}

Verdict Admission::admit(std::uint32_t sender, std::chrono::steady_clock::time_point now)
{
    if (!allowed_.empty()
        && std::ranges::none_of(allowed_, [&](const Network& network) { return network.contains(sender); })) {
        return Verdict::NotAllowed;
    }
    if (limiter_ && !limiter_->admit(sender, now)) {
        return Verdict::OverLimit;
    }
    return Verdict::Admitted;
}

}  // namespace collector
