#include "page/SiteDirectory.h"

#include "common/StartupError.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <random>
#include <system_error>

namespace triage {

namespace {

namespace fs = std::filesystem;
using crashreports::StartupError;
using crashreports::UniqueFd;

constexpr const char* kMarkerName = ".triage-site";
constexpr std::size_t kMaxMarkerBytes = 4096;

[[noreturn]] void fail(const fs::path& path, std::string_view what, int error)
{
    throw StartupError(crashreports::withReason(path.string() + ": " + std::string(what), error));
}

// `outDir` without a trailing slash; refused if it names no directory entry
// of its own (".", "..", "/").
fs::path normalized(const fs::path& outDir)
{
    fs::path path = outDir.lexically_normal();
    if (!path.has_filename() && path.has_parent_path()) {
        path = path.parent_path();
    }
    if (!path.has_filename() || path.filename() == "." || path.filename() == "..") {
        throw StartupError(outDir.string() + ": not a name for the site's directory");
    }
    return path;
}

UniqueFd openDirectory(int dirFd, const char* name)
{
    return UniqueFd(::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
}

std::string readMarker(int dirFd)
{
    const UniqueFd file(::openat(dirFd, kMarkerName, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    std::string content(kMaxMarkerBytes, '\0');
    const ssize_t count = file ? ::read(file.get(), content.data(), content.size()) : -1;
    content.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    return content;
}

// Refuses to let the site replace anything but nothing, an empty directory
// or a site made here: whatever else is there stays.
void checkReplaceable(const fs::path& outDir)
{
    struct stat status {};
    if (::lstat(outDir.c_str(), &status) != 0) {
        if (errno == ENOENT) {
            return;
        }
        fail(outDir, "cannot look at it", errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        throw StartupError(outDir.string() + ": exists and is not a directory; refusing to replace it");
    }
    std::error_code error;
    if (fs::is_regular_file(outDir / kMarkerName, error) || fs::is_empty(outDir, error)) {
        return;
    }
    throw StartupError(outDir.string() + ": not a triage site (no " + kMarkerName + " in it); refusing to replace it");
}

// OUTDIR.new-XXXXXXXX beside `outDir`, whose mode is what the umask leaves
// of 0755, as for every folder and file in it: a service that keeps its
// reports from others keeps their page from them too.
fs::path makeNewDirectory(const fs::path& outDir)
{
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".new-%08x", random());
        fs::path path = outDir.string() + suffix;
        if (::mkdir(path.c_str(), 0755) == 0) {
            return path;
        }
        if (errno != EEXIST) {
            fail(path, "cannot make the new site's directory", errno);
        }
    }
    fail(outDir.string() + ".new-*", "cannot make the new site's directory", EEXIST);
}

void writeAll(int fd, std::string_view content, const fs::path& path)
{
    while (!content.empty()) {
        const ssize_t count = ::write(fd, content.data(), content.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            fail(path, "cannot write", count < 0 ? errno : EIO);
        }
        content.remove_prefix(static_cast<std::size_t>(count));
    }
}

}  // namespace

SiteDirectory::SiteDirectory(const fs::path& outDir, std::string marker)
    : outDir_(normalized(outDir)), marker_(std::move(marker))
{
    checkReplaceable(outDir_);
    newDir_ = makeNewDirectory(outDir_);
    try {
        top_ = openDirectory(AT_FDCWD, newDir_.c_str());
        if (!top_ || ::mkdirat(top_.get(), "groups", 0755) != 0
            || ::mkdirat(top_.get(), "reports", 0755) != 0) {
            fail(newDir_, "cannot make the new site's folders", errno);
        }
        groups_ = openDirectory(top_.get(), "groups");
        reports_ = openDirectory(top_.get(), "reports");
        if (!groups_ || !reports_) {
            fail(newDir_, "cannot open the new site's folders", errno);
        }
        openPrevious();
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(newDir_, ignored);
        throw;
    }
}

SiteDirectory::~SiteDirectory()
{
    if (!published_) {
        std::error_code ignored;
        fs::remove_all(newDir_, ignored);
    }
}

void SiteDirectory::openPrevious()
{
    UniqueFd previous = openDirectory(AT_FDCWD, outDir_.c_str());
    if (previous && readMarker(previous.get()) == marker_) {
        previousGroups_ = openDirectory(previous.get(), "groups");
        previousReports_ = openDirectory(previous.get(), "reports");
        previousTop_ = std::move(previous);
    }
}

const UniqueFd& SiteDirectory::folderFd(Folder folder) const
{
    return folder == Folder::groups ? groups_ : folder == Folder::reports ? reports_ : top_;
}

const UniqueFd& SiteDirectory::previousFd(Folder folder) const
{
    return folder == Folder::groups ? previousGroups_ : folder == Folder::reports ? previousReports_ : previousTop_;
}

bool SiteDirectory::previousHolds(Folder folder, const std::string& name, std::string_view content) const
{
    if (!previousFd(folder)) {
        return false;
    }
    const UniqueFd file(::openat(previousFd(folder).get(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    struct stat status {};
    if (!file || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)
        || static_cast<std::uint64_t>(status.st_size) != content.size()) {
        return false;
    }
    std::string held(content.size(), '\0');
    std::size_t done = 0;
    while (done < held.size()) {
        const ssize_t count = ::read(file.get(), held.data() + done, held.size() - done);
        if (count <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return held == content;
}

void SiteDirectory::write(Folder folder, const std::string& name, std::string_view content)
{
    const char* folderName = folder == Folder::groups ? "groups" : folder == Folder::reports ? "reports" : "";
    const fs::path path = newDir_ / folderName / name;
    UniqueFd file(::openat(folderFd(folder).get(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                           0644));
    if (!file) {
        fail(path, "cannot create", errno);
    }
    writeAll(file.get(), content, path);
    if (file.close() != 0) {
        fail(path, "cannot write", errno);
    }
}

bool SiteDirectory::linkPrevious(Folder folder, const std::string& name)
{
    return previousFd(folder)
        && ::linkat(previousFd(folder).get(), name.c_str(), folderFd(folder).get(), name.c_str(), 0) == 0;
}

void SiteDirectory::writeOrLinkSame(Folder folder, const std::string& name, std::string_view content)
{
    if (!previousHolds(folder, name, content) || !linkPrevious(folder, name)) {
        write(folder, name, content);
    }
}

void SiteDirectory::publish()
{
    write(Folder::top, kMarkerName, marker_);
    swapIntoPlace();
    published_ = true;
}

void SiteDirectory::swapIntoPlace()
{
    if (::renameat2(AT_FDCWD, newDir_.c_str(), AT_FDCWD, outDir_.c_str(), RENAME_NOREPLACE) == 0) {
        return;
    }
    if (errno != EEXIST) {
        fail(outDir_, "cannot put the new site in place", errno);
    }
    // What is there now was checked when this site began; check again, as
    // something else may have taken its place since.
    checkReplaceable(outDir_);
    if (::renameat2(AT_FDCWD, newDir_.c_str(), AT_FDCWD, outDir_.c_str(), RENAME_EXCHANGE) != 0) {
        fail(outDir_, "cannot swap the new site into place", errno);
    }
    // newDir_ names the old site now.
    std::error_code ignored;
    fs::remove_all(newDir_, ignored);
}

}  // namespace triage
