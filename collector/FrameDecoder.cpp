#include "collector/FrameDecoder.h"

#include "common/FrameFormat.h"
#include "common/Plural.h"

#include <zlib.h>

#include <limits>
#include <memory>
#include <new>
#include <string_view>

namespace collector {

namespace {

using crashreports::plural;

using frame_format::kPrefixSize;

Decoded reject(Rejection rejection, std::string reason)
{
    return Decoded{rejection, std::move(reason), {}};
}

std::string zlibReason(const z_stream& stream, int result)
{
    return std::string("zlib: ") + (stream.msg != nullptr ? stream.msg : zError(result));
}

// An inflate stream that is ended whatever way decoding leaves.
class Inflater {
public:
    Inflater() { result_ = inflateInit(&stream_); }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    ~Inflater()
    {
        if (result_ == Z_OK) {
            inflateEnd(&stream_);
        }
    }
    bool ready() const { return result_ == Z_OK; }
    z_stream& stream() { return stream_; }

private:
    z_stream stream_{};
    int result_;
};

// Inflates `input` into `output`, which holds exactly the declared size.
Decoded inflateExactly(std::span<const unsigned char> input, std::unique_ptr<unsigned char[]> output,
                       std::uint32_t declared)
{
    Inflater inflater;
    if (!inflater.ready()) {
        return reject(Rejection::OutOfMemory, "can't start inflating");
    }
    z_stream& stream = inflater.stream();
    stream.next_in = const_cast<unsigned char*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = output.get();
    stream.avail_out = declared;

    int result = inflate(&stream, Z_FINISH);
    if (result == Z_BUF_ERROR && stream.avail_out == 0) {
        // The declared size is full. The stream must end here: inflating one
        // more byte must yield nothing but its end and its checksum.
        unsigned char probe = 0;
        stream.next_out = &probe;
        stream.avail_out = 1;
        result = inflate(&stream, Z_FINISH);
        if (stream.avail_out == 0) {
            return reject(Rejection::MoreThanDeclared,
                          "stream inflates to more than the declared " + plural(declared, "byte"));
        }
    }
    switch (result) {
    case Z_STREAM_END:
        break;
    case Z_DATA_ERROR:
    case Z_NEED_DICT:
        return reject(Rejection::CorruptStream, zlibReason(stream, result));
    case Z_MEM_ERROR:
        return reject(Rejection::OutOfMemory, zlibReason(stream, result));
    default:
        return reject(Rejection::TruncatedStream, "zlib stream truncated after "
                                                      + plural(stream.total_out, "byte"));
    }
    if (stream.total_out != declared) {
        return reject(Rejection::FewerThanDeclared, "stream ends after " + std::to_string(stream.total_out)
                                                        + " of the declared " + plural(declared, "byte"));
    }
    if (stream.avail_in != 0) {
        return reject(Rejection::TrailingBytes,
                      plural(stream.avail_in, "byte") + " after the end of the zlib stream");
    }
    return Decoded{Rejection::None, {}, Report(std::move(output), declared)};
}

}  // namespace

Decoded decodeFrame(std::span<const unsigned char> datagram, std::uint64_t maxReportSize)
{
    if (datagram.size() < kPrefixSize) {
        return reject(Rejection::ShorterThanPrefix,
                      "datagram of " + plural(datagram.size(), "byte") + " is shorter than the 4-byte size prefix");
    }
    if (datagram.size() > std::numeric_limits<uInt>::max()) {
        return reject(Rejection::OverLimit, "datagram too large");
    }
    const std::uint32_t declared = frame_format::decodePrefix(datagram.data());
    if (declared == 0) {
        return reject(Rejection::EmptyReport, "declared report size is 0");
    }
    if (declared > maxReportSize) {
        return reject(Rejection::OverLimit, "declared report size " + std::to_string(declared)
                                                + " is over the limit of " + std::to_string(maxReportSize));
    }
    // Left uninitialised: a hostile frame that declares much and inflates to
    // little costs address space, not memory.
    std::unique_ptr<unsigned char[]> output;
    try {
        output = std::make_unique_for_overwrite<unsigned char[]>(declared);
    } catch (const std::bad_alloc&) {
        return reject(Rejection::OutOfMemory, "can't allocate " + plural(declared, "byte"));
    }
    return inflateExactly(datagram.subspan(kPrefixSize), std::move(output), declared);
}

}  // namespace collector
