#include "collector/NewsCommand.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

extern char** environ;

namespace collector {

namespace {

using crashreports::UniqueFd;

constexpr const char* kDefaultPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
// What one look at a stream reads at most, so that a chatty command can't
// hold up the others.
constexpr std::size_t kMostReadAtOnce = 64 << 10;

[[noreturn]] void fail(const char* what, int error)
{
    throw std::system_error(error, std::generic_category(), what);
}

std::vector<char*> pointersTo(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (auto& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

struct Pipe {
    UniqueFd read;
    UniqueFd write;
};

// A pipe whose ends the collector keeps to itself, read without blocking.
Pipe makePipe()
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        fail("can't make a pipe", errno);
    }
    Pipe pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
    ::fcntl(pipe.read.get(), F_SETFL, O_NONBLOCK);
    return pipe;
}

// posix_spawn's settings, let go of whichever way spawning goes.
class SpawnSettings {
public:
    SpawnSettings(int outFd, int errFd)
    {
        ::posix_spawn_file_actions_init(&actions_);
        ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        ::posix_spawn_file_actions_adddup2(&actions_, outFd, STDOUT_FILENO);
        ::posix_spawn_file_actions_adddup2(&actions_, errFd, STDERR_FILENO);
        ::posix_spawnattr_init(&attributes_);
        // A group of its own, so that it can be ended with all it started;
        // no signal blocked, and none ignored that the collector ignores.
        sigset_t none;
        ::sigemptyset(&none);
        ::posix_spawnattr_setsigmask(&attributes_, &none);
        sigset_t defaults;
        ::sigemptyset(&defaults);
        ::sigaddset(&defaults, SIGPIPE);
        ::sigaddset(&defaults, SIGXFSZ);
        ::posix_spawnattr_setsigdefault(&attributes_, &defaults);
        ::posix_spawnattr_setpgroup(&attributes_, 0);
        ::posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;
    ~SpawnSettings()
    {
        ::posix_spawnattr_destroy(&attributes_);
        ::posix_spawn_file_actions_destroy(&actions_);
    }
    const posix_spawn_file_actions_t* actions() const { return &actions_; }
    const posix_spawnattr_t* attributes() const { return &attributes_; }

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

// `line` with each control character but a tab shown as '?'.
std::string printableLine(std::string_view line)
{
    std::string shown(line);
    for (char& c : shown) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
            c = '?';
        }
    }
    return shown;
}

}  // namespace

std::string_view eventName(store::GroupEvent event)
{
    return event == store::GroupEvent::Regressed ? "regressed" : "new";
}

std::vector<std::string> commandEnvironment(const store::GroupNews& news, char** inherited)
{
    std::vector<std::string> environment{"PATH=" + std::string(kDefaultPath)};
    for (char** entry = inherited; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view variable(*entry);
        if (variable.starts_with("PATH=")) {
            environment.front() = variable;
        } else if (variable.starts_with("HOME=") || variable.starts_with("LANG=")) {
            environment.emplace_back(variable);
        }
    }
    environment.push_back("CRASH_EVENT=" + std::string(eventName(news.event)));
    environment.push_back("CRASH_GROUP=" + news.group);
    environment.push_back("CRASH_TITLE=" + news.title);
    environment.push_back("CRASH_REPORT=" + news.report);
    environment.push_back("CRASH_SENDER=" + news.sender);
    return environment;
}

NewsCommand::NewsCommand(const std::string& command, const store::GroupNews& news)
    : news_(news), started_(Clock::now())
{
    Pipe out = makePipe();
    Pipe err = makePipe();
    std::vector<std::string> environment = commandEnvironment(news, environ);
    std::vector<char*> environmentPointers = pointersTo(environment);
    std::vector<std::string> arguments{"sh", "-c", command};
    std::vector<char*> argumentPointers = pointersTo(arguments);
    const SpawnSettings settings(out.write.get(), err.write.get());
    const int error = ::posix_spawn(&pid_, "/bin/sh", settings.actions(), settings.attributes(),
                                    argumentPointers.data(), environmentPointers.data());
    if (error != 0) {
        fail("can't start /bin/sh", error);
    }
    out_.fd = std::move(out.read);
    err_.fd = std::move(err.read);
    // Where the kernel can't tell the end by a descriptor, it is looked for.
    pidFd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
}

NewsCommand::~NewsCommand()
{
    if (!reaped_) {
        ::kill(-pid_, SIGKILL);
        reap();
    }
}

void NewsCommand::addWaits(std::vector<pollfd>& waits) const
{
    for (const int fd : {pidFd_.get(), out_.fd.get(), err_.fd.get()}) {
        if (fd >= 0) {
            waits.push_back({fd, POLLIN, 0});
        }
    }
}

void NewsCommand::readOutput(const LineSink& sink)
{
    readStream(out_, sink);
    readStream(err_, sink);
}

void NewsCommand::readStream(Stream& stream, const LineSink& sink)
{
    char buffer[4096];
    for (std::size_t total = 0; stream.fd && total < kMostReadAtOnce;) {
        const ssize_t got = ::read(stream.fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && errno == EAGAIN) {
            return;
        }
        if (got <= 0) {
            if (!stream.partial.empty() || stream.cut) {
                endLine(stream, sink);
            }
            stream.fd.reset();
            return;
        }
        total += static_cast<std::size_t>(got);
        take(stream, std::string_view(buffer, static_cast<std::size_t>(got)), sink);
    }
}

void NewsCommand::take(Stream& stream, std::string_view bytes, const LineSink& sink)
{
    for (;;) {
        const std::size_t end = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, end);
        const std::size_t room = kMostLineBytes - std::min(kMostLineBytes, stream.partial.size());
        stream.partial.append(piece.substr(0, room));
        stream.cut = stream.cut || piece.size() > room;
        if (end == std::string_view::npos) {
            return;
        }
        endLine(stream, sink);
        bytes.remove_prefix(end + 1);
    }
}

void NewsCommand::endLine(Stream& stream, const LineSink& sink)
{
    if (lines_ < kMostLines) {
        ++lines_;
        sink(stream.priority, "command for crash group " + news_.group + ": " + printableLine(stream.partial)
                                  + (stream.cut ? " [cut]" : ""));
    } else {
        ++unshown_;
    }
    stream.partial.clear();
    stream.cut = false;
}

std::optional<int> NewsCommand::finishIfExited(const LineSink& sink)
{
    siginfo_t info{};
    // Looked at without reaping it: its process group stays its own until
    // everything in it is ended.
    if (reaped_ || ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0
        || info.si_pid == 0) {
        return std::nullopt;
    }
    return kill(sink);
}

int NewsCommand::kill(const LineSink& sink)
{
    ::kill(-pid_, SIGKILL);
    const int status = reap();
    // What the shell wrote before it ended; what the group would still
    // write is not waited for.
    for (Stream* stream : {&out_, &err_}) {
        readStream(*stream, sink);
        if (stream->fd) {
            if (!stream->partial.empty() || stream->cut) {
                endLine(*stream, sink);
            }
            stream->fd.reset();
        }
    }
    if (unshown_ != 0) {
        sink(Priority::Info, "command for crash group " + news_.group + ": " + std::to_string(unshown_)
                                 + " more lines not shown");
        unshown_ = 0;
    }
    return status;
}

int NewsCommand::reap()
{
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    pidFd_.reset();
    return status;
}

std::string describeEnd(const std::string& group, int status)
{
    const std::string command = "the command for crash group " + group;
    if (WIFEXITED(status)) {
        return command + " exited with status " + std::to_string(WEXITSTATUS(status));
    }
    const char* name = WIFSIGNALED(status) ? sigabbrev_np(WTERMSIG(status)) : nullptr;
    return command + " was ended by " + (name != nullptr ? "SIG" + std::string(name) : std::string("a signal"));
}

}  // namespace collector
