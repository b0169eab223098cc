#include "Collector.h"

#include "FrameDecoder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ostream>
#include <stdexcept>

namespace collector {

namespace {

// Room for any UDP payload, so that MSG_TRUNC can only mean a datagram that
// IPv4 could not carry.
constexpr std::size_t kReceiveBufferSize = 65536;
// Several MiB of socket buffer carry a burst of thousands of reports while
// the disk syncs the ones before them.
constexpr int kSocketBufferBytes = 16 * 1024 * 1024;
constexpr std::uint64_t kLogLinesPerSecond = 100;
// Datagrams served between looks at the signals, and the longest time spent
// on them, so that a stop is not kept waiting behind a burst of large reports.
constexpr int kBatch = 256;
constexpr auto kBatchTime = std::chrono::milliseconds(100);

std::string endpoint(const std::string& address, std::uint16_t port)
{
    return address + ":" + std::to_string(port);
}

std::string systemReason()
{
    return std::strerror(errno);
}

std::uint16_t boundPort(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

UniqueFd bindSocket(const std::string& address, std::uint16_t port)
{
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        throw std::runtime_error("can't create a UDP socket: " + systemReason());
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &local.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        throw std::runtime_error("can't bind " + endpoint(address, port) + ": " + systemReason());
    }
    return fd;
}

// Asks for a large receive buffer, past the system's limit where the process
// may; returns a warning if the kernel grants less, else empty.
std::string enlargeReceiveBuffer(int fd)
{
    const int wanted = kSocketBufferBytes;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    }
    int granted = 0;
    socklen_t length = sizeof granted;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length);
    if (granted < wanted) {
        return "warning: receive buffer is " + std::to_string(granted) + " bytes, asked for "
            + std::to_string(wanted) + " (raise net.core.rmem_max): bursts may be lost";
    }
    return {};
}

sigset_t stopSignals()
{
    sigset_t signals;
    ::sigemptyset(&signals);
    ::sigaddset(&signals, SIGINT);
    ::sigaddset(&signals, SIGTERM);
    return signals;
}

UniqueFd openSignalFd()
{
    const sigset_t signals = stopSignals();
    UniqueFd fd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!fd) {
        throw std::runtime_error("can't watch for signals: " + systemReason());
    }
    return fd;
}

Sender senderOf(const sockaddr_in& from)
{
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
    return {text, ntohs(from.sin_port)};
}

}  // namespace

void blockStopSignals()
{
    const sigset_t signals = stopSignals();
    ::sigprocmask(SIG_BLOCK, &signals, nullptr);
}

Collector::Collector(const Options& options, std::ostream& out, std::ostream& log)
    : options_(options),
      out_(out),
      log_(log),
      store_(options.directory),
      socket_(bindSocket(options.bindAddress, options.port)),
      signals_(openSignalFd()),
      limiter_(kLogLinesPerSecond),
      buffer_(kReceiveBufferSize)
{
    if (const std::string warning = enlargeReceiveBuffer(socket_.get()); !warning.empty()) {
        log_ << warning << std::endl;
    }
    log_ << "listening on " << endpoint(options_.bindAddress, boundPort(socket_.get())) << std::endl;
}

Counters Collector::run()
{
    while (!done()) {
        pollfd watched[2] = {{socket_.get(), POLLIN, 0}, {signals_.get(), POLLIN, 0}};
        const int timeout = limiter_.holdsSuppressed() ? 1000 : -1;
        if (::poll(watched, 2, timeout) < 0 && errno != EINTR) {
            throw std::runtime_error("can't wait for datagrams: " + systemReason());
        }
        if (watched[1].revents != 0) {
            stopRequested_ = true;
        } else if (watched[0].revents != 0) {
            serveReadyDatagrams();
            // One write for the lines of a whole batch, before waiting again.
            out_.flush();
        }
        if (const std::string error = store_.syncDirectory(); !error.empty()) {
            logLimited(error);
        }
        flushSuppressed(LineRateLimiter::Clock::now());
    }
    if (const auto suppressed = limiter_.takeAllSuppressed(); suppressed != 0) {
        log_ << "suppressed " << suppressed << " more log lines" << std::endl;
    }
    return counters_;
}

bool Collector::done() const
{
    return stopRequested_ || (options_.count && counters_.stored >= *options_.count);
}

void Collector::serveReadyDatagrams()
{
    const auto deadline = std::chrono::steady_clock::now() + kBatchTime;
    for (int served = 0; served < kBatch && !done() && std::chrono::steady_clock::now() < deadline; ++served) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t size = ::recvfrom(socket_.get(), buffer_.data(), buffer_.size(), MSG_DONTWAIT | MSG_TRUNC,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (size < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                logLimited("can't receive: " + systemReason());
            }
            return;
        }
        const auto length = static_cast<std::size_t>(size);
        handleDatagram(std::min(length, buffer_.size()), length > buffer_.size(), senderOf(from));
    }
}

void Collector::handleDatagram(std::size_t size, bool truncated, const Sender& sender)
{
    ++counters_.received;
    const std::string from = endpoint(sender.address, sender.port);
    if (truncated) {
        ++counters_.rejected;
        logLimited("rejected " + from + ": datagram larger than " + std::to_string(buffer_.size()) + " bytes");
        return;
    }
    const Decoded decoded = decodeFrame(std::span(buffer_.data(), size), options_.maxReportSize);
    if (!decoded.valid()) {
        ++counters_.rejected;
        logLimited("rejected " + from + ": " + decoded.reason);
        return;
    }
    const StoreResult stored = store_.store(decoded.report.bytes(), sender, std::chrono::system_clock::now());
    if (!stored.path) {
        ++counters_.failedToStore;
        logLimited("can't store report from " + from + ": " + stored.error);
        return;
    }
    ++counters_.stored;
    out_ << "stored " << stored.path->string() << " (" << decoded.report.size() << " bytes from " << from << ")\n";
}

void Collector::logLimited(const std::string& line)
{
    const auto admission = limiter_.admit(LineRateLimiter::Clock::now());
    logSuppressed(admission.suppressedBefore);
    if (admission.allowed) {
        log_ << line << std::endl;
    }
}

void Collector::flushSuppressed(LineRateLimiter::Clock::time_point now)
{
    logSuppressed(limiter_.takeSuppressed(now));
}

void Collector::logSuppressed(std::uint64_t count)
{
    if (count != 0) {
        log_ << "suppressed " << count << " log lines in the last second" << std::endl;
    }
}

std::string formatSummary(const Counters& counters)
{
    return "received " + std::to_string(counters.received) + ", stored " + std::to_string(counters.stored)
        + ", rejected " + std::to_string(counters.rejected) + ", failed to store "
        + std::to_string(counters.failedToStore);
}

}  // namespace collector
