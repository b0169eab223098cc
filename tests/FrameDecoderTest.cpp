// The collector's frame decoder against well-formed and hostile datagrams.

#include "TestSupport.h"
#include "collector/FrameDecoder.h"
#include "common/FrameFormat.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>

namespace {

using collector::decodeFrame;
using collector::Rejection;
using namespace test_support;

// A deflate stream with the given wrapper: -15 raw, 15 zlib, 31 gzip.
Bytes deflateWith(std::span<const unsigned char> data, int windowBits)
{
    z_stream stream{};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&stream, data.size()));
    stream.next_in = const_cast<unsigned char*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

constexpr std::uint32_t kBombSize = 60'000'000;

// 60 MB of zeros squeezed into one datagram's worth of zlib stream.
const Bytes& bombStream()
{
    static const Bytes stream = compressBytes(Bytes(kBombSize, 0), 9);
    return stream;
}

const Bytes kReport = toBytes("segfault at 0x18 in render::Scene::draw\n");

Bytes withLastByteFlipped(Bytes bytes)
{
    bytes.back() ^= 0x01;
    return bytes;
}

Bytes withoutLast(Bytes bytes, std::size_t count)
{
    bytes.resize(bytes.size() - count);
    return bytes;
}

struct DecodeCase {
    const char* name;
    std::function<Bytes()> datagram;
    Rejection expected;
    std::uint64_t maxReportSize = frame_format::kMaxReportSize;
    friend void PrintTo(const DecodeCase& decodeCase, std::ostream* out) { *out << decodeCase.name; }
};

class DecodeFrame : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeFrame, GivesTheExpectedVerdict)
{
    const DecodeCase& decodeCase = GetParam();
    const Bytes datagram = decodeCase.datagram();

    const auto decoded = decodeFrame(datagram, decodeCase.maxReportSize);

    EXPECT_EQ(decoded.rejection, decodeCase.expected) << decoded.reason;
    EXPECT_EQ(decoded.valid(), decoded.reason.empty());
    if (decoded.valid()) {
        const auto expected = inflateStream(streamOf(datagram));
        ASSERT_TRUE(expected);
        EXPECT_TRUE(std::ranges::equal(decoded.report.bytes(), *expected));
    } else {
        EXPECT_EQ(decoded.report.size(), 0U);
    }
}

const DecodeCase kDecodeCases[] = {
    {"Empty", [] { return Bytes{}; }, Rejection::ShorterThanPrefix},
    {"ShorterThanPrefix", [] { return Bytes{0, 0, 1}; }, Rejection::ShorterThanPrefix},
    {"PrefixOnly", [] { return Bytes{0, 0, 0, 5}; }, Rejection::TruncatedStream},
    {"DeclaresZero", [] { return prefixed(0, compressBytes({})); }, Rejection::EmptyReport},
    {"DeclaresOverTheLimit", [] { return prefixed(1001, compressBytes(Bytes(1001, 'a'))); }, Rejection::OverLimit,
     1000},
    {"DeclaresMoreThanItInflatesTo", [] { return prefixed(static_cast<std::uint32_t>(kReport.size() + 1), compressBytes(kReport)); },
     Rejection::FewerThanDeclared},
    {"DeclaresLessThanItInflatesTo", [] { return prefixed(static_cast<std::uint32_t>(kReport.size() - 1), compressBytes(kReport)); },
     Rejection::MoreThanDeclared},
    {"BytesAfterTheStream",
     [] {
         Bytes frame = makeFrame(kReport);
         frame.push_back(0);
         return frame;
     },
     Rejection::TrailingBytes},
    {"CorruptAdler32", [] { return withLastByteFlipped(makeFrame(kReport)); }, Rejection::CorruptStream},
    {"CorruptDeflateData",
     [] {
         Bytes frame = makeFrame(kReport);
         frame[6] ^= 0xFF;
         return frame;
     },
     Rejection::CorruptStream},
    {"RawDeflateWithoutZlibHeader", [] { return prefixed(static_cast<std::uint32_t>(kReport.size()), deflateWith(kReport, -15)); },
     Rejection::CorruptStream},
    {"GzipWrapper", [] { return prefixed(static_cast<std::uint32_t>(kReport.size()), deflateWith(kReport, 31)); },
     Rejection::CorruptStream},
    {"TruncatedInTheData", [] { return withoutLast(makeFrame(toBytes(makeCrashLog(4096))), 40); },
     Rejection::TruncatedStream},
    {"TruncatedInTheChecksum", [] { return withoutLast(makeFrame(kReport), 2); }, Rejection::TruncatedStream},
    {"BombDeclaringFourGiB", [] { return prefixed(0xFFFFFFFF, bombStream()); }, Rejection::OverLimit},
    {"BombDeclaringOneByte", [] { return prefixed(1, bombStream()); }, Rejection::MoreThanDeclared},
    {"BombDeclaringOneByteLess", [] { return prefixed(kBombSize - 1, bombStream()); }, Rejection::MoreThanDeclared},
    {"ValidThreeBytes", [] { return makeFrame(toBytes("abc")); }, Rejection::None},
    {"ValidBinary", [] { return makeFrame(randomBytes(3000)); }, Rejection::None},
    {"ValidCrashLogOfOneMiB", [] { return makeFrame(toBytes(makeCrashLog(1 << 20))); }, Rejection::None},
    {"ValidAtExactlyTheLimit", [] { return makeFrame(Bytes(1000, 'a')); }, Rejection::None, 1000},
    {"ValidSixtyMegabytes", [] { return prefixed(kBombSize, bombStream()); }, Rejection::None},
};

INSTANTIATE_TEST_SUITE_P(Datagrams, DecodeFrame, testing::ValuesIn(kDecodeCases),
                         [](const testing::TestParamInfo<DecodeCase>& param) { return param.param.name; });

TEST(DecodeFrameBomb, FitsOneDatagram)
{
    EXPECT_LE(frame_format::kPrefixSize + bombStream().size(), frame_format::kMaxDatagramPayload) << "the bomb cases must be what one datagram can carry";
}

}  // namespace
