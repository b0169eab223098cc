// The names a directory store gives its reports, and what it reads back; a
// database store's ids.

#include "store/ReportNames.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono;
using crashreports::Endpoint;

TEST(ReportFileName, CarriesUtcTimeSenderAndSequence)
{
    // 2026-12-08T11:59:59.000042Z
    const system_clock::time_point received{seconds(1796731199) + microseconds(42)};
    EXPECT_EQ(store::reportFileName(received, Endpoint{0x0A010203, 40000}, 7),
              "20261208T115959.000042Z_10.1.2.3_40000_000007.report");
}

TEST(ReportId, CarriesUtcTimeSenderOwnerAndSequenceAndIsNoFileName)
{
    const system_clock::time_point received{seconds(1796731199) + microseconds(42)};
    const std::string id = store::reportId(received, Endpoint{0x0A010203, 40000}, "3f2a9c1b5e6d7a8b", 7);
    EXPECT_EQ(id, "20261208T115959.000042Z_10.1.2.3_40000_3f2a9c1b5e6d7a8b_000007");
    EXPECT_FALSE(store::parseReportName(id));
}

TEST(ReportSenderAddress, ReadsOnlyTheCollectorsOwnNames)
{
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"20261208T115959.000042Z_10.1.2.3_40000_000007.report", "10.1.2.3"},
        {"20261208T115959.000042Z_10.1.2.3_40000_1234567.report", "10.1.2.3"},
        {"20261208T115959.000042Z_10.1.2.3_40000_000007.report.tmp", std::nullopt},
        {"20261208T115959.000042Z_10.1.2.300_40000_000007.report", std::nullopt},
        {"20261208T115959Z_10.1.2.3_40000_000007.report", std::nullopt},
        {"notes.report", std::nullopt},
        {".incoming-0123456789abcdef-1.tmp", std::nullopt},
    };
    for (const auto& [name, address] : cases) {
        EXPECT_EQ(store::reportSenderAddress(name), address) << name;
    }
}

}  // namespace
