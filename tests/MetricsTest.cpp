// The collector's metrics: what promtool accepts, and the kernel's drops.

#include "TestSupport.h"
#include "collector/Metrics.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace test_support;

TEST(Metrics, ArePrometheusTextThatPromtoolAccepts)
{
    if (!std::filesystem::exists("/usr/bin/promtool")) {
        GTEST_SKIP() << "promtool (Debian's prometheus) is not installed";
    }
    collector::Counters counters;
    counters.received = 7;
    const struct {
        const char* name;
        store::StoreFigures store;
        std::optional<std::uint64_t> kernelDrops;
    } rows[] = {
        {"every figure", {5, 20480, 1 << 30}, 3},
        {"a store that tells nothing, a kernel that tells no drops", {}, std::nullopt},
    };
    for (const auto& row : rows) {
        const std::string text = collector::metricsText({counters, 1, {2, 1, 3, 1, 0}, row.store, row.kernelDrops, 1});
        const ExitResult check = run({"/usr/bin/promtool", "check", "metrics"}, {.input = text});
        EXPECT_EQ(check.status, 0) << row.name << ": " << check.out << check.err << text;
        EXPECT_NE(text.find("\ncrash_collector_datagrams_received_total 7\n"), std::string::npos) << text;
    }
}

TEST(Metrics, CountWhatTheKernelDroppedForAFullSocket)
{
    const UdpSocket receiver;
    const Bytes payload(8192, 'x');
    const auto before = collector::kernelDrops(receiver.fd());
    ASSERT_TRUE(before);
    for (int sent = 0; sent < 2000; ++sent) {
        receiver.sendTo(receiver.port(), payload);
    }
    const auto after = collector::kernelDrops(receiver.fd());
    ASSERT_TRUE(after);
    EXPECT_GT(*after, *before);
}

}  // namespace
