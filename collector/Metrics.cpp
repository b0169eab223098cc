#include "collector/Metrics.h"

#include "common/StartupError.h"
#include "common/UniqueFd.h"

#include <fcntl.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace collector {

namespace {

constexpr const char* kPrefix = "crash_collector_";

// One metric: its HELP and TYPE lines, then a sample for each set of labels.
class Family {
public:
    Family(std::string& out, const std::string& name, const char* type, const char* help) : out_(out), name_(kPrefix + name)
    {
        out_ += "# HELP " + name_ + " " + help + "\n# TYPE " + name_ + " " + type + "\n";
    }
    Family& sample(std::uint64_t value, const std::string& labels = {})
    {
        out_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
        return *this;
    }

private:
    std::string& out_;
    std::string name_;
};

void counter(std::string& out, const std::string& name, const char* help, std::uint64_t value)
{
    Family(out, name, "counter", help).sample(value);
}

void gauge(std::string& out, const std::string& name, const char* help, std::optional<std::uint64_t> value)
{
    if (value) {
        Family(out, name, "gauge", help).sample(*value);
    }
}

void datagramFigures(std::string& out, const MetricsFigures& figures)
{
    const Counters& c = figures.counters;
    counter(out, "datagrams_received_total", "Datagrams taken off the socket.", c.received);
    counter(out, "reports_stored_total", "Reports stored durably.", c.stored);
    counter(out, "datagrams_rejected_total", "Datagrams that were not a valid report frame.", c.rejected);
    Family(out, "refused_total", "counter", "Datagrams and reports refused, by reason.")
        .sample(c.refusedAllowlist, "reason=\"allowlist\"")
        .sample(c.refusedRate, "reason=\"per_sender_limit\"")
        .sample(c.refusedBudget, "reason=\"budget\"");
    Family dropped(out, "datagrams_dropped_total", "counter",
                   "Datagrams dropped: by the collector with its queue full, by the kernel with the socket's "
                   "buffer full.");
    dropped.sample(c.dropped, "by=\"queue\"");
    if (figures.kernelDrops) {
        dropped.sample(*figures.kernelDrops, "by=\"kernel\"");
    }
    counter(out, "reports_removed_total", "Old reports removed to keep within the disk budget.", c.removed);
    counter(out, "store_failures_total", "Reports that could not be stored.", c.failedToStore);
    counter(out, "log_lines_dropped_total", "Lines that standard output or error could not take.",
            figures.linesDropped);
}

void newsFigures(std::string& out, const Notifier::Figures& news)
{
    Family(out, "group_news_total", "counter", "New and regressed crash groups told.")
        .sample(news.newGroups, "event=\"new\"")
        .sample(news.regressedGroups, "event=\"regressed\"");
    counter(out, "news_commands_run_total", "--on-new-group commands started.", news.commandsRun);
    counter(out, "news_commands_failed_total", "--on-new-group commands that failed, were killed or did not start.",
            news.commandsFailed);
    counter(out, "news_commands_skipped_total", "--on-new-group commands skipped, too many at once.",
            news.commandsSkipped);
}

}  // namespace

std::string metricsText(const MetricsFigures& figures)
{
    std::string out;
    datagramFigures(out, figures);
    newsFigures(out, figures.news);
    gauge(out, "groups", "Crash groups in the store.", figures.store.groups);
    gauge(out, "store_bytes", "Bytes the stored reports take, as the disk budget counts them.", figures.store.bytes);
    gauge(out, "store_budget_bytes", "The most the reports may take (--max-use).", figures.store.budget);
    gauge(out, "start_time_seconds", "When the collector started, in seconds since the epoch.",
          static_cast<std::uint64_t>(figures.startTime));
    return out;
}

std::optional<std::uint64_t> kernelDrops(int socket)
{
    std::uint32_t memory[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof memory;
    if (::getsockopt(socket, SOL_SOCKET, SO_MEMINFO, memory, &length) != 0 || length <= SK_MEMINFO_DROPS * 4) {
        return std::nullopt;
    }
    return memory[SK_MEMINFO_DROPS];
}

MetricsFile::MetricsFile(std::filesystem::path path, int socket, LogSink& log)
    : path_(std::move(path)),
      socket_(socket),
      log_(log),
      startTime_(std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                     .count())
{
}

void MetricsFile::write(const Counters& counters, std::uint64_t linesDropped, const Notifier::Figures& news,
                        const store::StoreFigures& store)
{
    const std::string text = metricsText({counters, linesDropped, news, store, kernelDrops(socket_), startTime_});
    const std::filesystem::path temporary = path_.string() + ".tmp";
    crashreports::UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644));
    int error = fd ? 0 : errno;
    // Readable by all whatever the umask: a monitoring agent of another user reads it.
    if (error == 0 && (::fchmod(fd.get(), 0644) != 0 || ::write(fd.get(), text.data(), text.size())
                                                          != static_cast<ssize_t>(text.size()))) {
        error = errno != 0 ? errno : ENOSPC;
    }
    if (error == 0 && (fd.close() != 0 || ::rename(temporary.c_str(), path_.c_str()) != 0)) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temporary.c_str());
        if (!failing_) {
            log_.err(Priority::Error, crashreports::withReason("can't write the metrics " + path_.string(), error));
        }
    } else if (failing_) {
        log_.err(Priority::Info, "wrote the metrics " + path_.string() + " again");
    }
    failing_ = error != 0;
}

}  // namespace collector
