// Which datagrams the receiver lets in: allowed networks and the per-sender limit.

#include "collector/Admission.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono;

TEST(ParseNetwork, TakesAddressesAndPrefixes)
{
    using collector::Network;
    const std::pair<const char*, std::optional<Network>> cases[] = {
        {"10.0.0.0/8", Network{0x0A000000, 0xFF000000}},
        {"10.1.2.3/8", Network{0x0A000000, 0xFF000000}},
        {"192.0.2.7", Network{0xC0000207, 0xFFFFFFFF}},
        {"0.0.0.0/0", Network{0, 0}},
        {"10.0.0.0/33", std::nullopt},
        {"10.0.0.0/", std::nullopt},
        {"10.0.0/8", std::nullopt},
        {"::1", std::nullopt},
        {"example.org", std::nullopt},
    };
    for (const auto& [text, network] : cases) {
        EXPECT_EQ(collector::parseNetwork(text), network) << text;
    }
}

TEST(SenderLimiter, RefusesPastTheLimitUntilTheMinuteIsOver)
{
    collector::SenderLimiter limiter(3);
    const steady_clock::time_point start{seconds(1000)};
    int admitted = 0;
    for (int datagram = 0; datagram < 5; ++datagram) {
        admitted += limiter.admit(0x0A000001, start + seconds(datagram)) ? 1 : 0;
    }
    EXPECT_EQ(admitted, 3);
    EXPECT_TRUE(limiter.admit(0x0A000002, start + seconds(5))) << "another sender has its own count";
    EXPECT_TRUE(limiter.admit(0x0A000001, start + seconds(60)));
}

TEST(SenderLimiter, KeepsCountingAHeavySenderThroughAFloodOfForgedAddresses)
{
    collector::SenderLimiter limiter(10);
    const steady_clock::time_point now{seconds(1000)};
    for (int datagram = 0; datagram < 10; ++datagram) {
        limiter.admit(0x0A000001, now);
    }
    for (std::uint32_t forged = 0; forged < 1'000'000; ++forged) {
        limiter.admit(0xC0000000 + forged, now);
    }
    EXPECT_FALSE(limiter.admit(0x0A000001, now)) << "the flood made the heavy sender's count be forgotten";
    EXPECT_LE(limiter.memoryBytes(), 1U << 20);
}

}  // namespace
