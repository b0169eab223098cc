#include "collector/Receiver.h"

#include "collector/BurstPolicy.h"
#include "common/StartupError.h"

#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <memory>

namespace collector {

namespace {

using crashreports::withReason;

// Room for any UDP payload, so that MSG_TRUNC can only mean a datagram that
// IPv4 could not carry.
constexpr std::size_t kBufferSize = 65536;
constexpr std::size_t kBatch = BurstPolicy::kReceiveBatch;

// What the receiver warms up of the heap, at most: room for a storm of some
// 20,000 small frames.
constexpr std::size_t kMostWarmBytes = 16 << 20;
constexpr std::size_t kWarmBlock = 1024;

// Touches `bytes` of this thread's heap, in blocks the size of a small frame,
// and has the allocator keep them once freed: the first frames of a storm
// then find memory ready instead of taking a page fault each, which the
// receiver can't afford while the socket buffer fills. Measured by
// bench/storm_ab: of 15 storms of 20,000 reports into a receive buffer held
// to 212,992 bytes, 14 were stored whole with it and 10 without.
void warmUpHeap(std::size_t bytes)
{
    ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * kMostWarmBytes));
    std::vector<std::unique_ptr<unsigned char[]>> blocks(bytes / kWarmBlock);
    for (auto& block : blocks) {
        block = std::make_unique<unsigned char[]>(kWarmBlock);
    }
}

Endpoint senderOf(const sockaddr_in& from)
{
    return {ntohl(from.sin_addr.s_addr), ntohs(from.sin_port)};
}

}  // namespace

Receiver::Receiver(int socket, Admission& admission, FrameQueue& queue, Counters& counters, LogSink& log)
    : socket_(socket),
      admission_(admission),
      queue_(queue),
      counters_(counters),
      log_(log),
      buffers_(kBatch * kBufferSize),
      from_(kBatch),
      vectors_(kBatch),
      messages_(kBatch)
{
    warmUpHeap(std::min(queue.capacity() / 4, kMostWarmBytes));
}

void Receiver::run(std::span<const int> stopFds)
{
    std::vector<pollfd> watched{{socket_, POLLIN, 0}};
    for (const int fd : stopFds) {
        watched.push_back({fd, POLLIN, 0});
    }
    for (;;) {
        if (::poll(watched.data(), watched.size(), -1) < 0 && errno != EINTR) {
            const int error = errno;
            log_.limited(Priority::Error, [error] { return withReason("can't wait for datagrams", error); });
        }
        for (std::size_t index = 1; index < watched.size(); ++index) {
            if (watched[index].revents != 0) {
                // What arrived before the stop is taken too.
                receiveReady();
                return;
            }
        }
        if (watched[0].revents != 0) {
            receiveReady();
        }
    }
}

void Receiver::receiveReady()
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + BurstPolicy::kMostReceiving;
    Clock::time_point lastData{};
    Clock::duration lastGap = Clock::duration::max();
    while (Clock::now() < deadline) {
        for (std::size_t index = 0; index < kBatch; ++index) {
            vectors_[index] = {buffers_.data() + index * kBufferSize, kBufferSize};
            messages_[index] = {};
            messages_[index].msg_hdr.msg_name = &from_[index];
            messages_[index].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            messages_[index].msg_hdr.msg_iov = &vectors_[index];
            messages_[index].msg_hdr.msg_iovlen = 1;
        }
        const int count = ::recvmmsg(socket_, messages_.data(), kBatch, MSG_DONTWAIT, nullptr);
        const auto now = Clock::now();
        if (count < 0) {
            const int error = errno;
            if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
                log_.limited(Priority::Error, [error] { return withReason("can't receive", error); });
                return;
            }
            if (BurstPolicy::keepsLooking(lastGap, now - lastData)) {
                continue;
            }
            return;
        }
        if (lastData != Clock::time_point{}) {
            lastGap = now - lastData;
        }
        lastData = now;
        const auto received = std::chrono::system_clock::now();
        for (std::size_t index = 0; index < static_cast<std::size_t>(count); ++index) {
            accept(index, received);
        }
        queueAccepted();
    }
}

void Receiver::accept(std::size_t index, std::chrono::system_clock::time_point received)
{
    ++counters_.received;
    const Endpoint sender = senderOf(from_[index]);
    switch (admission_.admit(sender.address, std::chrono::steady_clock::now())) {
    case Verdict::Admitted:
        break;
    case Verdict::NotAllowed:
        ++counters_.refusedAllowlist;
        log_.limited(Priority::Warning,
                     [&] { return "refused datagram from " + sender.text() + ": not an allowed sender"; });
        return;
    case Verdict::OverLimit:
        ++counters_.refusedRate;
        log_.limited(Priority::Warning,
                     [&] { return "refused datagram from " + sender.text() + ": over the per-sender limit"; });
        return;
    }
    const mmsghdr& message = messages_[index];
    if ((message.msg_hdr.msg_flags & MSG_TRUNC) != 0) {
        ++counters_.rejected;
        log_.limited(Priority::Warning, [&] {
            return "rejected " + sender.text() + ": datagram larger than " + std::to_string(kBufferSize) + " bytes";
        });
        return;
    }
    const unsigned char* payload = buffers_.data() + index * kBufferSize;
    accepted_.push_back({std::vector<unsigned char>(payload, payload + message.msg_len), sender, received});
}

void Receiver::queueAccepted()
{
    queue_.push(accepted_);
    for (const auto& frame : accepted_) {
        ++counters_.dropped;
        log_.limited(Priority::Warning, [&] {
            return "dropped datagram from " + frame.sender.text() + ": the queue of frames to store is full";
        });
    }
    accepted_.clear();
}

}  // namespace collector
