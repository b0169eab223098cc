#pragma once

// Decoding of report frames, the payload of the datagrams that
// sendCrashReport sends: a 4-byte big-endian report size, then one zlib stream
// that inflates to exactly that many bytes. Everything in a datagram is
// untrusted: the size is bounded before anything is allocated for it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace collector {

enum class Rejection {
    None,
    ShorterThanPrefix,    // fewer than 4 bytes
    EmptyReport,          // declared size 0
    OverLimit,            // declared size above the limit
    CorruptStream,        // not a zlib stream, bad deflate data or a bad Adler-32
    TruncatedStream,      // the datagram ends inside the stream
    FewerThanDeclared,    // the stream ends before the declared size
    MoreThanDeclared,     // the stream goes on past the declared size
    TrailingBytes,        // bytes after the end of the stream
    OutOfMemory,
};

// A decoded report: exactly the bytes that the sender read from its file.
class Report {
public:
    Report() = default;
    Report(std::unique_ptr<unsigned char[]> data, std::size_t size) : data_(std::move(data)), size_(size) {}
    std::span<const unsigned char> bytes() const { return {data_.get(), size_}; }
    std::size_t size() const { return size_; }

private:
    std::unique_ptr<unsigned char[]> data_;
    std::size_t size_ = 0;
};

struct Decoded {
    Rejection rejection = Rejection::None;
    std::string reason;  // for a log line; empty when the frame is valid
    Report report;
    bool valid() const { return rejection == Rejection::None; }
};

// Decodes one datagram's payload. A frame is valid when its declared size is
// 1 to `maxReportSize` and its zlib stream inflates to exactly that many
// bytes, checks its Adler-32 and ends exactly at the end of the datagram.
// Memory is taken for the declared size only after it has been checked, and
// only the pages that inflating writes are touched.
Decoded decodeFrame(std::span<const unsigned char> datagram, std::uint64_t maxReportSize);

}  // namespace collector
