// sendCrashReport: delivers one crash report file to the report collector as
// a single UDP datagram. It is run from crash handlers, so it does one straight
// pass, writes nothing on success and at most one line on standard error on
// failure, and never sends a byte that it did not read from the file.

#include "src/SendReport.h"

#include "BuildConfig.h"
#include "common/FrameFormat.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static_assert(build_config::kCollectorPort > 0, "the collector's port must be 1-65535");
// The size travels as 32 bits; every report that can fit a datagram fits it.
static_assert(frame_format::kMaxReportSize < (std::uint64_t{1} << 32));

namespace {

constexpr const char* kCollectorHost = build_config::kCollectorHost;
constexpr std::uint16_t kCollectorPort = build_config::kCollectorPort;

}  // namespace

void getCompressedBuffer(const char* fileName, unsigned char** frame, std::uint64_t& frameLength)
{
    // Opened without blocking, so that a FIFO with no writer can't hang a
    // crash handler here; O_NOCTTY keeps a terminal from becoming ours.
    const int fd = open(fileName, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "Can't open %s\n", fileName);
        std::fflush(stderr);
        std::exit(1);
    }

    // A directory has no bytes to read, and a FIFO or socket has no size and
    // could block the read: refused before reading. Anything else, a device
    // node included, is measured and read as it is.
    struct stat status {};
    const bool measurable = fstat(fd, &status) == 0;
    if (!measurable || S_ISDIR(status.st_mode) || S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode)) {
        const char* reason = !measurable                ? std::strerror(errno)
                             : S_ISDIR(status.st_mode)  ? std::strerror(EISDIR)
                             : S_ISFIFO(status.st_mode) ? "Is a FIFO or pipe"
                                                        : "Is a socket";
        close(fd);
        std::fprintf(stderr, "Failed to read %s: %s\n", fileName, reason);
        std::fflush(stderr);
        std::exit(1);
    }
    // Blocking again, so that reading is plain buffered input.
    const int flags = fcntl(fd, F_GETFL);
    FILE* file = nullptr;
    if (flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
        file = fdopen(fd, "r");
    }
    if (file == nullptr) {
        const int error = errno;
        close(fd);
        std::fprintf(stderr, "Failed to read %s: %s\n", fileName, std::strerror(error));
        std::fflush(stderr);
        std::exit(1);
    }

    long end = -1;
    if (std::fseek(file, 0, SEEK_END) == 0) {
        end = std::ftell(file);
    }
    if (end < 0) {
        const int error = errno;
        std::fclose(file);
        std::fprintf(stderr, "Failed to read %s: %s\n", fileName, std::strerror(error));
        std::fflush(stderr);
        std::exit(1);
    }
    // Refused before reading: past this size no content compresses into one
    // datagram, and from 4 GiB on the 32-bit size prefix would wrap.
    if (static_cast<std::uint64_t>(end) > frame_format::kMaxReportSize) {
        std::fclose(file);
        std::fprintf(stderr, "Too large to send %s: %ld bytes, at most %llu fit one datagram\n",
                     fileName, end, static_cast<unsigned long long>(frame_format::kMaxReportSize));
        std::fflush(stderr);
        std::exit(1);
    }
    if (end == 0) {
        std::fclose(file);
        std::fprintf(stderr, "Failed to read %s\n", fileName);
        std::fflush(stderr);
        std::exit(1);
    }
    std::rewind(file);
    const auto size = static_cast<std::size_t>(end);

    auto* data = static_cast<unsigned char*>(std::malloc(size));
    if (data == nullptr) {
        std::fclose(file);
        std::fprintf(stderr, "Can't allocate %zu bytes to read %s\n", size, fileName);
        std::fflush(stderr);
        std::exit(1);
    }
    // A file that shrank since it was measured reads short: the frame then
    // carries the bytes actually read, and says so in its prefix.
    const std::size_t count = std::fread(data, 1, size, file);
    const bool readFailed = std::ferror(file) != 0;
    const int readError = errno;
    std::fclose(file);
    if (count == 0 || readFailed) {
        std::free(data);
        if (readFailed) {
            std::fprintf(stderr, "Failed to read %s: %s\n", fileName, std::strerror(readError));
        } else {
            std::fprintf(stderr, "Failed to read %s\n", fileName);
        }
        std::fflush(stderr);
        std::exit(1);
    }

    const uLong bound = compressBound(count);
    auto* block = static_cast<unsigned char*>(std::malloc(frame_format::kPrefixSize + bound));
    if (block == nullptr) {
        std::free(data);
        std::fprintf(stderr, "Can't allocate %lu bytes to compress %s\n",
                     frame_format::kPrefixSize + bound, fileName);
        std::fflush(stderr);
        std::exit(1);
    }
    frame_format::encodePrefix(static_cast<std::uint32_t>(count), block);

    uLongf streamLength = bound;
    const int result = compress(block + frame_format::kPrefixSize, &streamLength, data, count);
    std::free(data);
    if (result != Z_OK) {
        std::free(block);
        std::fprintf(stderr, "Can't compress %s: %s\n", fileName, zError(result));
        std::fflush(stderr);
        std::exit(1);
    }

    *frame = block;
    frameLength = frame_format::kPrefixSize + streamLength;
}

int main(int argc, char* argv[])
{
    if (argc != 2) {
        // Spelt as it always has been: callers match this exact text.
        std::fputs("Uasage: sendCrashReport <fileName>\n", stderr);
        std::fflush(stderr);
        return 1;
    }

    // Run from crash handlers, where there is nobody to tell: a socket that
    // can't be had ends the run without a word.
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        return 1;
    }

    sockaddr_in local {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(0);
    const int bound = bind(sock, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    if (bound != 0) {
        std::fprintf(stderr, "Can't bind port 0 (result %d): %s\n", bound, std::strerror(errno));
        std::fflush(stderr);
        return 1;
    }

    // Only an IPv4 answer fits the destination record; anything else counts
    // as no answer.
    const hostent* host = gethostbyname(kCollectorHost);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != sizeof(in_addr)
        || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr) {
        // Spelt as it always has been: callers match this exact text.
        std::fputs("Can't get gost ip \n", stderr);
        std::fflush(stderr);
        return 1;
    }
    sockaddr_in collector {};
    collector.sin_family = AF_INET;
    std::memcpy(&collector.sin_addr, host->h_addr_list[0], sizeof collector.sin_addr);
    collector.sin_port = htons(kCollectorPort);

    unsigned char* frame = nullptr;
    std::uint64_t frameLength = 0;
    getCompressedBuffer(argv[1], &frame, frameLength);

    const ssize_t sent = sendto(sock, frame, frameLength, 0,
                                reinterpret_cast<const sockaddr*>(&collector), sizeof collector);
    const int sendError = errno;
    std::free(frame);
    if (sent < 0) {
        std::fprintf(stderr, "Can't send %s: %s\n", argv[1], std::strerror(sendError));
        std::fflush(stderr);
        return 1;
    }
    if (static_cast<std::uint64_t>(sent) != frameLength) {
        std::fprintf(stderr, "Can't send %s: sent %zd of %llu bytes\n", argv[1], sent,
                     static_cast<unsigned long long>(frameLength));
        std::fflush(stderr);
        return 1;
    }
    return 0;
}
