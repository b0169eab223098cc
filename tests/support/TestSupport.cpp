#include "TestSupport.h"

#include "common/FrameFormat.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

namespace test_support {

namespace {

[[noreturn]] void throwSystemError(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

std::chrono::milliseconds remaining(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return std::max(left, std::chrono::milliseconds{0});
}

// Waits until `fd` is readable or the timeout passes; true when readable.
bool waitReadable(int fd, std::chrono::milliseconds timeout)
{
    pollfd entry{fd, POLLIN, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, static_cast<int>(timeout.count()));
        if (ready >= 0) {
            return ready > 0;
        }
        if (errno != EINTR) {
            throwSystemError("poll");
        }
    }
}

// Reads what is available from `fd` into `sink`; false at end of stream.
bool readSome(const Fd& fd, std::string& sink)
{
    char chunk[4096];
    const ssize_t count = ::read(fd.get(), chunk, sizeof chunk);
    if (count > 0) {
        sink.append(chunk, static_cast<std::size_t>(count));
        return true;
    }
    return count < 0 && errno == EINTR;
}

sockaddr_in loopbackAddress(const char* address, std::uint16_t port)
{
    sockaddr_in record{};
    record.sin_family = AF_INET;
    record.sin_port = htons(port);
    if (::inet_pton(AF_INET, address, &record.sin_addr) != 1) {
        throw std::invalid_argument(std::string("not an IPv4 address: ") + address);
    }
    return record;
}

}  // namespace

Bytes toBytes(std::string_view text)
{
    return Bytes(text.begin(), text.end());
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "crash-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throwSystemError("mkdtemp " + pattern);
    }
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write(const std::string& name, std::span<const unsigned char> content) const
{
    const auto file = path_ / name;
    std::ofstream stream(file, std::ios::binary);
    stream.write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(content.size()));
    if (!stream.flush()) {
        throw std::runtime_error("can't write " + file.string());
    }
    return file;
}

std::filesystem::path TempDir::write(const std::string& name, std::string_view content) const
{
    return write(name, toBytes(content));
}

Child::Child(const std::vector<std::string>& argv, const ProcessOptions& options)
{
    int outPipe[2];
    int errPipe[2];
    int inPipe[2] = {-1, -1};
    if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0
        || (options.input && ::pipe2(inPipe, O_CLOEXEC) != 0)) {
        throwSystemError("pipe");
    }
    std::vector<char*> args;
    for (const auto& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) {
        throwSystemError("fork");
    }
    if (pid_ == 0) {
        const int input = options.input ? inPipe[0] : ::open("/dev/null", O_RDONLY);
        ::dup2(input, STDIN_FILENO);
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::dup2(errPipe[1], STDERR_FILENO);
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) {
            ::_exit(126);
        }
        for (const auto& entry : options.env) {
            ::putenv(const_cast<char*>(entry.c_str()));
        }
        // Only the standard streams: whatever the test runner left open
        // would count against a program's own limits.
        ::close_range(3, ~0U, 0);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (options.closedStdout) {
        ::close(outPipe[0]);
    } else {
        out_ = Fd(outPipe[0]);
    }
    err_ = Fd(errPipe[0]);
    if (options.input) {
        ::close(inPipe[0]);
        Fd in(inPipe[1]);
        // Small inputs only: the pipe buffer takes them whole. A child that
        // has already ended without reading them is no failure of the test's.
        ::signal(SIGPIPE, SIG_IGN);
        if (::write(in.get(), options.input->data(), options.input->size()) < 0 && errno != EPIPE) {
            throwSystemError("write to child");
        }
    }
}

Child::~Child()
{
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

std::optional<std::string> Child::readLine(Fd& fd, std::string& pending, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto end = pending.find('\n'); end != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return line;
        }
        if (fd.get() < 0 || !waitReadable(fd.get(), remaining(deadline)) || !readSome(fd, pending)) {
            return std::nullopt;
        }
    }
}

std::optional<std::string> Child::readErrLine(std::chrono::milliseconds timeout)
{
    return readLine(err_, errPending_, timeout);
}

std::optional<std::string> Child::readOutLine(std::chrono::milliseconds timeout)
{
    return readLine(out_, outPending_, timeout);
}

void Child::signal(int number) const
{
    ::kill(pid_, number);
}

ExitResult Child::wait(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    ExitResult result;
    result.out = std::exchange(outPending_, {});
    result.err = std::exchange(errPending_, {});
    while (out_.get() >= 0 || err_.get() >= 0) {
        pollfd entries[2] = {{out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}};
        const int ready = ::poll(entries, 2, static_cast<int>(remaining(deadline).count()));
        if (ready == 0) {
            ::kill(pid_, SIGKILL);
            break;
        }
        if (ready < 0 && errno != EINTR) {
            throwSystemError("poll");
        }
        if (entries[0].revents != 0 && !readSome(out_, result.out)) {
            out_.reset();
        }
        if (entries[1].revents != 0 && !readSome(err_, result.err)) {
            err_.reset();
        }
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

ExitResult run(const std::vector<std::string>& argv, const ProcessOptions& options)
{
    return Child(argv, options).wait(options.timeout);
}

UdpSocket::UdpSocket(std::uint16_t port, const char* address)
    : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0))
{
    if (fd_.get() < 0) {
        throwSystemError("socket");
    }
    const auto record = loopbackAddress(address, port);
    if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&record), sizeof record) != 0) {
        throwSystemError(std::string("bind ") + address + ":" + std::to_string(port));
    }
}

std::uint16_t UdpSocket::port() const
{
    sockaddr_in record{};
    socklen_t length = sizeof record;
    if (::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&record), &length) != 0) {
        throwSystemError("getsockname");
    }
    return ntohs(record.sin_port);
}

std::optional<Datagram> UdpSocket::receive(std::chrono::milliseconds timeout) const
{
    if (!waitReadable(fd_.get(), timeout)) {
        return std::nullopt;
    }
    Datagram datagram;
    datagram.payload.resize(65536);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t count = ::recvfrom(fd_.get(), datagram.payload.data(), datagram.payload.size(), 0,
                                     reinterpret_cast<sockaddr*>(&from), &length);
    if (count < 0) {
        throwSystemError("recvfrom");
    }
    datagram.payload.resize(static_cast<std::size_t>(count));
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    datagram.address = text;
    datagram.port = ntohs(from.sin_port);
    return datagram;
}

void UdpSocket::sendTo(std::uint16_t port, std::span<const unsigned char> payload, const char* address) const
{
    const auto record = loopbackAddress(address, port);
    if (::sendto(fd_.get(), payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(&record),
                 sizeof record) < 0) {
        throwSystemError("sendto");
    }
}

std::optional<Bytes> inflateStream(std::span<const unsigned char> stream)
{
    z_stream z{};
    if (inflateInit(&z) != Z_OK) {
        return std::nullopt;
    }
    Bytes out;
    unsigned char chunk[65536];
    z.next_in = const_cast<unsigned char*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    bool whole = false;
    for (;;) {
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        const int result = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
        if (result == Z_STREAM_END) {
            whole = z.avail_in == 0;
            break;
        }
        // With fresh room to write, Z_BUF_ERROR means the input ran out.
        if (result != Z_OK) {
            break;
        }
    }
    inflateEnd(&z);
    return whole ? std::optional<Bytes>(std::move(out)) : std::nullopt;
}

Bytes compressBytes(std::span<const unsigned char> data, int level)
{
    uLongf length = compressBound(data.size());
    Bytes out(length);
    if (compress2(out.data(), &length, data.data(), data.size(), level) != Z_OK) {
        throw std::runtime_error("compress2 failed");
    }
    out.resize(length);
    return out;
}

Bytes prefixed(std::uint32_t declared, std::span<const unsigned char> stream)
{
    Bytes frame(frame_format::kPrefixSize + stream.size());
    frame_format::encodePrefix(declared, frame.data());
    std::ranges::copy(stream, frame.begin() + frame_format::kPrefixSize);
    return frame;
}

Bytes makeFrame(std::span<const unsigned char> report)
{
    return prefixed(static_cast<std::uint32_t>(report.size()), compressBytes(report));
}

std::uint32_t readPrefix(std::span<const unsigned char> frame)
{
    if (frame.size() < frame_format::kPrefixSize) {
        throw std::invalid_argument("frame shorter than its prefix");
    }
    return frame_format::decodePrefix(frame.data());
}

std::span<const unsigned char> streamOf(std::span<const unsigned char> frame)
{
    if (frame.size() < frame_format::kPrefixSize) {
        throw std::invalid_argument("frame shorter than its prefix");
    }
    return frame.subspan(frame_format::kPrefixSize);
}

Bytes randomBytes(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (auto& byte : bytes) {
        byte = static_cast<unsigned char>(random());
    }
    return bytes;
}

Bytes readFile(const std::filesystem::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    if (!stream) {
        throw std::runtime_error("can't open " + path.string());
    }
    return Bytes(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

std::vector<std::filesystem::path> filesIn(const std::filesystem::path& directory)
{
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(directory)) {
        files.push_back(entry.path());
    }
    std::ranges::sort(files);
    return files;
}

}  // namespace test_support
