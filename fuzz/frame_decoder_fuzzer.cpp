// libFuzzer target for the collector's frame decoder. Besides the
// sanitizers' checks, every frame that the decoder accepts must be exactly
// what zlib's own one-shot uncompress makes of it.

#include "collector/FrameDecoder.h"
#include "common/FrameFormat.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {

// Smaller than a datagram could carry, so that each run stays fast; the
// decoder's behaviour does not depend on the limit's size.
constexpr std::uint64_t kFuzzMaxReportSize = 1 << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const unsigned char> datagram(data, size);
    const collector::Decoded decoded = collector::decodeFrame(datagram, kFuzzMaxReportSize);
    if (!decoded.valid()) {
        return 0;
    }
    const std::uint32_t declared = frame_format::decodePrefix(data);
    std::vector<unsigned char> expected(declared);
    uLongf expectedSize = declared;
    uLong consumed = size - frame_format::kPrefixSize;
    const int result = uncompress2(expected.data(), &expectedSize, data + frame_format::kPrefixSize, &consumed);
    if (result != Z_OK || expectedSize != declared || consumed != size - frame_format::kPrefixSize || decoded.report.size() != declared
        || !std::ranges::equal(decoded.report.bytes(), expected)) {
        std::abort();
    }
    return 0;
}
