#include "collector/Collector.h"

#include "collector/Receiver.h"
#include "collector/StoreLoop.h"
#include "common/Plural.h"
#include "common/StartupError.h"
#include "common/WorkerThread.h"
#include "store/OpenStore.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <latch>
#include <optional>

namespace collector {

namespace {

using crashreports::Endpoint;
using crashreports::plural;
using crashreports::StartupError;
using crashreports::withReason;

// Several MiB of socket buffer carry a burst while the receiving thread is
// not running.
constexpr int kSocketBufferBytes = 16 * 1024 * 1024;

// Blocks SIGINT, SIGTERM and SIGHUP, which then arrive through the
// descriptor returned, in this thread and the ones it starts: each stops the
// collector the same orderly way. SIGPIPE and SIGXFSZ are ignored: a write
// that they would end is a failed write, with its line.
UniqueFd takeSignals()
{
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    sigset_t signals;
    ::sigemptyset(&signals);
    ::sigaddset(&signals, SIGINT);
    ::sigaddset(&signals, SIGTERM);
    ::sigaddset(&signals, SIGHUP);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    UniqueFd fd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!fd) {
        const int error = errno;
        throw StartupError(withReason("can't watch for signals", error));
    }
    return fd;
}

std::string localEndpoint(int fd)
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return Endpoint{ntohl(local.sin_addr.s_addr), ntohs(local.sin_port)}.text();
}

UniqueFd bindSocket(const Options& options)
{
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        const int error = errno;
        throw StartupError(withReason("can't create a UDP socket", error));
    }
    const std::string endpoint = options.bindAddress + ":" + std::to_string(options.port);
    const int on = 1;
    if (options.reusePort && ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) {
        const int error = errno;
        throw StartupError(withReason("can't share " + endpoint + " (SO_REUSEPORT)", error));
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(options.port);
    ::inet_pton(AF_INET, options.bindAddress.c_str(), &local.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        throw StartupError(withReason("can't bind " + endpoint, error));
    }
    return fd;
}

// Asks for a large receive buffer: past the system's limit where the process
// may, and up to it on a socket of its own (one from systemd has the size its
// unit set, which asking could only lower). A warning if the kernel grants
// less, else empty.
std::string enlargeReceiveBuffer(int fd, bool own)
{
    const int wanted = kSocketBufferBytes;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) != 0 && own) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted);
    }
    int granted = 0;
    socklen_t length = sizeof granted;
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &length);
    if (granted < wanted) {
        return "warning: receive buffer is " + std::to_string(granted) + " bytes, asked for " + std::to_string(wanted)
            + " (raise net.core.rmem_max, or ReceiveBuffer= of the socket unit): bursts may be lost";
    }
    return {};
}

// What an exception says, in a line.
std::string describe(const std::exception_ptr& failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const std::bad_alloc&) {
        return "out of memory";
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown failure";
    }
}

// The built-in skip rules and the operator's files.
triage::SkipRules loadRules(const std::vector<std::filesystem::path>& files)
{
    triage::LoadedRules loaded = triage::loadSkipRules(files);
    if (!loaded.error.empty()) {
        throw StartupError(loaded.error);
    }
    return std::move(loaded.rules);
}

// Wakes the receiving thread through `stopFd`, which it polls, when it is
// asked to stop.
void stopReceivingThrough(int stopFd)
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto ignored = ::write(stopFd, &one, sizeof one);
}

}  // namespace

Collector::Collector(const Options& options, LogSink& log, ServiceManager& service)
    : options_(options),
      log_(log),
      service_(service),
      signals_(takeSignals()),
      socket_([&] {
          // The store comes after the socket: a collector that can't bind
          // must not touch the directory of one that did.
          auto passed = service.takeSocket();
          socketPassed_ = passed.has_value();
          return passed ? std::move(*passed) : bindSocket(options);
      }()),
      rules_(loadRules(options.skipRules)),
      store_(store::openStore(
          options.store,
          store::StoreOptions{{options.maxUse, options.keepFree, options.keepFreeInodes},
                              options.regressedAfter, &siteDisk_, options.maxAge},
          rules_)),
      notifier_(log, options.onNewGroup),
      admission_(options.allowed, options.perSenderLimit),
      queue_(options.queueSize),
      stop_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (!stop_) {
        const int error = errno;
        throw StartupError(withReason("can't make an event descriptor", error));
    }
    if (options.page) {
        page_.emplace(options.store, *options.page, options.regressedAfter, siteDisk_, log);
    }
    if (options.metrics) {
        metrics_.emplace(*options.metrics, socket_.get(), log);
    }
    if (const std::string warning = enlargeReceiveBuffer(socket_.get(), !socketPassed_); !warning.empty()) {
        log_.err(Priority::Warning, warning);
    }
}

void Collector::run()
{
    {
        // Listening is announced once the receiver is ready to drain the
        // socket: a burst that follows the announcement at once finds it there.
        std::latch ready(1);
        std::exception_ptr failed;
        // Stopped and joined when this scope ends, whichever way that is.
        std::optional<crashreports::WorkerThread> receiving;
        const auto receive = [this, &ready, &failed] {
            std::optional<Receiver> receiver;
            try {
                receiver.emplace(socket_.get(), admission_, queue_, counters_, log_);
            } catch (...) {
                failed = std::current_exception();
            }
            ready.count_down();
            if (receiver) {
                const int stopFds[] = {signals_.get(), stop_.get()};
                receiver->run(stopFds);
            }
            queue_.close();
        };
        try {
            receiving.emplace([this, &receive](const std::stop_token& stop) {
                const std::stop_callback wake(stop, [this] { stopReceivingThrough(stop_.get()); });
                receive();
            });
        } catch (const std::exception&) {
            throw StartupError("can't start receiving: " + describe(std::current_exception()));
        }
        ready.wait();
        if (failed) {
            throw StartupError("can't start receiving: " + describe(failed));
        }
        log_.err(Priority::Info, "listening on " + localEndpoint(socket_.get()) + ", storing into "
                                     + store_->location() + " (" + plural(store_->count(), "report") + " there)");
        service_.ready(formatSummary(counters_, log_.dropped()));
        StoreLoop(options_, queue_, *store_, rules_, counters_, log_, service_, notifier_, page_ ? &*page_ : nullptr,
                  metrics_ ? &*metrics_ : nullptr)
            .run();
        service_.stopping();
    }
    // Their last lines come before the summary.
    notifier_.stop();
    if (page_) {
        page_->stop();
    }
    counters_.unstored += queue_.frameCount();
    if (metrics_) {
        metrics_->write(counters_, log_.dropped(), notifier_.figures(), store_->figures());
    }
}

}  // namespace collector
