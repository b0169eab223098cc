// Rebuilding a directory's index from its report files, for reindex. See
// DirectoryIndex.h.

#include "common/StartupError.h"
#include "common/UniqueFd.h"
#include "store/directory/DirectoryIndex.h"
#include "store/directory/DirectoryListing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace store {

namespace {

using crashreports::StartupError;
using crashreports::UniqueFd;
using crashreports::withReason;

// Gives the index files the directory's owner and group, as a collector
// running as the store's user would have made them: a reindex run as root
// must leave an index that the collector can write.
void giveIndexToDirectoryOwner(int directoryFd)
{
    struct stat directory {};
    if (::geteuid() != 0 || ::fstat(directoryFd, &directory) != 0) {
        return;
    }
    for (const char* name : kIndexFiles) {
        ::fchownat(directoryFd, name, directory.st_uid, directory.st_gid, AT_SYMLINK_NOFOLLOW);
    }
}

// The open listing of the directory `directoryFd`.
Listing listingOf(int directoryFd, const std::filesystem::path& directory)
{
    Listing listing = openListing(directoryFd);
    if (!listing) {
        throw StartupError(withReason("can't list report store " + directory.string(), errno));
    }
    return listing;
}

// Rebuilds the index in place from every report file of the directory, in
// one transaction. Throws sqlite::Error.
Rebuilt rebuildInPlace(int directoryFd, const std::filesystem::path& directory, const triage::SkipRules& rules)
{
    const auto listing = listingOf(directoryFd, directory);
    ReportIndex index(directory);
    index.rebuild([&](IndexEntry& entry) {
        while (const dirent* file = ::readdir(listing.get())) {
            if (auto read = readIndexEntry(directoryFd, file->d_name, rules)) {
                entry = std::move(*read);
                return true;
            }
        }
        return false;
    });
    return {index.totals().reports, index.groupCount()};
}

}  // namespace

Rebuilt rebuildIndex(const std::filesystem::path& directory, const triage::SkipRules& rules)
{
    const UniqueFd directoryFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directoryFd) {
        const int error = errno;
        throw StartupError(withReason("can't open report store " + directory.string(), error));
    }
    Rebuilt rebuilt;
    try {
        rebuilt = rebuildInPlace(directoryFd.get(), directory, rules);
    } catch (const sqlite::Error&) {
        // Whatever state the old index is in (damaged, of another user, half
        // written), the reports are the truth: it starts over from them.
        removeIndexFiles(directoryFd.get());
        try {
            rebuilt = rebuildInPlace(directoryFd.get(), directory, rules);
        } catch (const sqlite::Error& error) {
            throw StartupError("can't rebuild the index of " + directory.string() + ": " + error.what());
        }
    }
    giveIndexToDirectoryOwner(directoryFd.get());
    return rebuilt;
}

}  // namespace store
