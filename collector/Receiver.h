#pragma once

// The receiving thread: drains the socket in batches, lets in only the
// datagrams that admission allows, and queues each frame for storing, doing as
// little as it can per datagram so that it keeps up with a burst while the
// disk syncs. A frame that the queue can't take is dropped and counted.

#include "collector/Admission.h"
#include "collector/Counters.h"
#include "collector/FrameQueue.h"
#include "collector/LogSink.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <span>
#include <vector>

namespace collector {

class Receiver {
public:
    // Made on the receiving thread: it readies that thread's memory.
    Receiver(int socket, Admission& admission, FrameQueue& queue, Counters& counters, LogSink& log);

    // Receives until one of `stopFds` becomes readable; then takes what the
    // socket already holds, for a moment at most.
    void run(std::span<const int> stopFds);

private:
    void receiveReady();
    void accept(std::size_t index, std::chrono::system_clock::time_point received);
    void queueAccepted();

    int socket_;
    Admission& admission_;
    FrameQueue& queue_;
    Counters& counters_;
    LogSink& log_;
    std::vector<unsigned char> buffers_;
    std::vector<sockaddr_in> from_;
    std::vector<iovec> vectors_;
    std::vector<mmsghdr> messages_;
    std::vector<Frame> accepted_;  // of the batch at hand
};

}  // namespace collector
