#include "store/directory/DecisionLog.h"

#include "common/StartupError.h"
#include "common/TimeText.h"
#include "common/UniqueFd.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <stdexcept>

namespace store {

namespace {

using crashreports::UniqueFd;
using crashreports::withReason;
using nlohmann::json;

// Who writes the decisions besides root: a static group that the package
// makes.
constexpr const char* kAdminGroup = "crash-reports-admin";

std::runtime_error failure(const std::string& what, const std::filesystem::path& path, int error)
{
    return std::runtime_error(withReason(what + " " + path.string(), error));
}

std::string text(const json& object, const char* key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::optional<TimePoint> timeOf(const json& object, const char* key)
{
    const std::string value = text(object, key);
    return value.empty() ? std::nullopt : crashreports::parseTime(value, TimePoint());
}

}  // namespace

std::string decisionLine(const Decision& decision)
{
    json object = {{"decision", nameOf(decision.kind)}, {"group", decision.group},
                   {"at", crashreports::formatTime(decision.at)}, {"by", decision.by}};
    const std::pair<const char*, const std::string*> texts[] = {
        {"into", &decision.into}, {"version", &decision.version}, {"note", &decision.note}};
    for (const auto& [key, value] : texts) {
        if (!value->empty()) {
            object[key] = *value;
        }
    }
    if (decision.until) {
        object["until"] = crashreports::formatTime(*decision.until);
    }
    if (!decision.reports.empty()) {
        object["reports"] = decision.reports;
    }
    return object.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::optional<Decision> decisionFromLine(std::string_view line)
{
    const json object = json::parse(line, nullptr, false);
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto kind = decisionKindNamed(text(object, "decision"));
    const auto at = timeOf(object, "at");
    if (!kind || !at || text(object, "group").empty()) {
        return std::nullopt;
    }
    Decision decision{*kind, text(object, "group"), text(object, "into"), text(object, "version"),
                      timeOf(object, "until"), *at, text(object, "by"), text(object, "note"), {}};
    if (const auto reports = object.find("reports"); reports != object.end() && reports->is_array()) {
        for (const auto& report : *reports) {
            if (report.is_string()) {
                decision.reports.push_back(report.get<std::string>());
            }
        }
    }
    return decision;
}

DecisionLog::DecisionLog(std::filesystem::path directory) : path_(std::move(directory) / kDecisionsFileName) {}

void DecisionLog::create() const
{
    const UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0664));
    if (!fd) {
        if (errno == EEXIST) {
            return;
        }
        throw failure("can't make the decisions file", path_, errno);
    }
    // As the umask may have taken the group's write away.
    ::fchmod(fd.get(), 0664);
    struct stat directory {};
    const group* admins = ::getgrnam(kAdminGroup);
    if (::stat(path_.parent_path().c_str(), &directory) == 0) {
        // Root makes it the store's user's, as the collector would have.
        const uid_t owner = ::geteuid() == 0 ? directory.st_uid : static_cast<uid_t>(-1);
        ::fchown(fd.get(), owner, admins != nullptr ? admins->gr_gid : directory.st_gid);
    }
}

std::vector<Decision> DecisionLog::read() const
{
    const UniqueFd fd(::open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) {
            return {};
        }
        throw failure("can't open the decisions", path_, errno);
    }
    std::string content;
    char buffer[1 << 16];
    for (ssize_t got; (got = ::read(fd.get(), buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno != EINTR) {
            throw failure("can't read the decisions", path_, errno);
        }
        content.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    std::vector<Decision> decisions;
    for (std::size_t at = 0; at < content.size();) {
        const std::size_t end = std::min(content.find('\n', at), content.size());
        if (auto decision = decisionFromLine(std::string_view(content).substr(at, end - at))) {
            decisions.push_back(std::move(*decision));
        }
        at = end + 1;
    }
    return decisions;
}

void DecisionLog::append(const Decision& decision) const
{
    const UniqueFd fd(::open(path_.c_str(), O_RDWR | O_APPEND | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        throw failure("can't open the decisions", path_, errno);
    }
    if (::flock(fd.get(), LOCK_EX) != 0) {
        throw failure("can't lock the decisions", path_, errno);
    }
    // A line cut short by a crash before it ends its own line.
    struct stat status {};
    char last = '\n';
    if (::fstat(fd.get(), &status) == 0 && status.st_size > 0) {
        ::pread(fd.get(), &last, 1, status.st_size - 1);
    }
    std::string line(last == '\n' ? 0 : 1, '\n');
    line += decisionLine(decision);
    if (::write(fd.get(), line.data(), line.size()) != static_cast<ssize_t>(line.size()) || ::fdatasync(fd.get()) != 0) {
        throw failure("can't write the decisions", path_, errno);
    }
}

std::optional<std::string> DecisionLog::stamp() const
{
    struct stat status {};
    if (::stat(path_.c_str(), &status) != 0) {
        return std::nullopt;
    }
    return std::to_string(status.st_ino) + ":" + std::to_string(status.st_size) + ":"
        + std::to_string(status.st_mtim.tv_sec) + "." + std::to_string(status.st_mtim.tv_nsec);
}

}  // namespace store
