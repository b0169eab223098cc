#pragma once

// Helpers shared by the black-box tests: child processes with captured
// output, loopback UDP sockets, temporary directories and zlib round trips.
// Every wait is bounded, so a broken program fails a test instead of hanging it.

#include "CrashLog.h"
#include "common/UniqueFd.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace test_support {

using namespace std::chrono_literals;

using Bytes = std::vector<unsigned char>;

Bytes toBytes(std::string_view text);

using Fd = crashreports::UniqueFd;

// A directory under the system's temporary directory, removed with its
// content when it goes out of scope.
class TempDir {
public:
    TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path write(const std::string& name, std::span<const unsigned char> content) const;
    std::filesystem::path write(const std::string& name, std::string_view content) const;

private:
    std::filesystem::path path_;
};

struct ExitResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::vector<std::string> env;  // NAME=VALUE entries added to the environment
    std::filesystem::path cwd;
    std::optional<std::string> input;  // standard input through a pipe; /dev/null if unset
    std::chrono::milliseconds timeout = 30s;  // for run(): killed past it
    bool closedStdout = false;                // standard output is a pipe whose reader is gone
};

// A child process whose standard output and error are captured.
class Child {
public:
    Child(const std::vector<std::string>& argv, const ProcessOptions& options = {});
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    // The next whole line (without its newline) of standard error or output,
    // or nothing if none arrives in time or the stream ends first.
    std::optional<std::string> readErrLine(std::chrono::milliseconds timeout = 10s);
    std::optional<std::string> readOutLine(std::chrono::milliseconds timeout = 10s);
    void signal(int number) const;
    // Waits for the exit, collecting what is left of both streams; kills the
    // child if it outlives the timeout.
    ExitResult wait(std::chrono::milliseconds timeout = 30s);
    int pid() const { return pid_; }

private:
    std::optional<std::string> readLine(Fd& fd, std::string& pending, std::chrono::milliseconds timeout);
    int pid_ = -1;
    Fd out_, err_;
    std::string outPending_, errPending_;
};

ExitResult run(const std::vector<std::string>& argv, const ProcessOptions& options = {});

struct Datagram {
    Bytes payload;
    std::string address;
    std::uint16_t port = 0;
};

// A UDP socket bound on loopback.
class UdpSocket {
public:
    explicit UdpSocket(std::uint16_t port = 0, const char* address = "127.0.0.1");
    std::uint16_t port() const;
    int fd() const { return fd_.get(); }
    std::optional<Datagram> receive(std::chrono::milliseconds timeout = 5s) const;
    void sendTo(std::uint16_t port, std::span<const unsigned char> payload, const char* address = "127.0.0.1") const;

private:
    Fd fd_;
};

// Inflates a whole zlib stream; nothing if it is not exactly one valid stream.
std::optional<Bytes> inflateStream(std::span<const unsigned char> stream);
Bytes compressBytes(std::span<const unsigned char> data, int level = -1);
// `stream` behind a 4-byte big-endian `declared` size, whatever the stream holds.
Bytes prefixed(std::uint32_t declared, std::span<const unsigned char> stream);
// A report frame as the sender builds it: 4-byte big-endian size, zlib stream.
Bytes makeFrame(std::span<const unsigned char> report);
std::uint32_t readPrefix(std::span<const unsigned char> frame);
// The zlib stream of `frame`: what follows its size prefix.
std::span<const unsigned char> streamOf(std::span<const unsigned char> frame);

Bytes randomBytes(std::size_t size, unsigned seed = 1);
Bytes readFile(const std::filesystem::path& path);
inline std::string readText(const std::filesystem::path& path)
{
    const Bytes bytes = readFile(path);
    return {bytes.begin(), bytes.end()};
}

// How often `piece` stands in `text`, overlaps counted.
inline std::size_t occurrences(std::string_view text, std::string_view piece)
{
    std::size_t count = 0;
    for (auto at = text.find(piece); at != std::string_view::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

// The text between the first `open` and the `close` after it.
inline std::string_view between(std::string_view text, std::string_view open, std::string_view close)
{
    const auto start = text.find(open);
    const auto end = start == std::string_view::npos ? start : text.find(close, start + open.size());
    return end == std::string_view::npos ? std::string_view() : text.substr(start + open.size(), end - start - open.size());
}

// The entries of `directory`, sorted.
std::vector<std::filesystem::path> filesIn(const std::filesystem::path& directory);

}  // namespace test_support
