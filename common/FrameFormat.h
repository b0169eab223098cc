#pragma once

// Limits of the report frame that the sender builds and the collector reads:
// a 4-byte big-endian report size, then a zlib stream, as the whole payload of
// one UDP datagram over IPv4.

#include <cstdint>

namespace frame_format {

inline constexpr std::uint32_t kPrefixSize = 4;

// 65,535 bytes of IPv4 datagram less the 20-byte IP and 8-byte UDP headers.
inline constexpr std::uint32_t kMaxDatagramPayload = 65507;

inline constexpr std::uint32_t kMaxStreamSize = kMaxDatagramPayload - kPrefixSize;

// Writes `reportSize` as the frame's prefix: the first 4 bytes at `frame`,
// most significant byte first.
inline void encodePrefix(std::uint32_t reportSize, unsigned char* frame)
{
    frame[0] = static_cast<unsigned char>(reportSize >> 24);
    frame[1] = static_cast<unsigned char>(reportSize >> 16);
    frame[2] = static_cast<unsigned char>(reportSize >> 8);
    frame[3] = static_cast<unsigned char>(reportSize);
}

// The report size in the prefix of `frame`, which holds at least 4 bytes.
inline std::uint32_t decodePrefix(const unsigned char* frame)
{
    return std::uint32_t{frame[0]} << 24 | std::uint32_t{frame[1]} << 16 | std::uint32_t{frame[2]} << 8
        | std::uint32_t{frame[3]};
}

// Deflate never expands more than 1032:1 (a 258-byte match in two bits), so no
// report larger than this can travel in one datagram, whatever its content.
inline constexpr std::uint64_t kMaxReportSize = std::uint64_t{kMaxStreamSize} * 1032;

}  // namespace frame_format
