#pragma once

// Private to store/directory/.

// Walking a directory's entries through a descriptor of its own.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>
#include <utility>

namespace store {

struct CloseListing {
    void operator()(DIR* listing) const { ::closedir(listing); }
};
using Listing = std::unique_ptr<DIR, CloseListing>;

// A listing of the directory `path` (by default the open directory
// `directoryFd` itself) through a descriptor of its own, so that its
// position is nobody else's; empty, with errno saying why, where it can't
// be opened.
inline Listing openListing(int directoryFd, const char* path = ".")
{
    const int fd = ::openat(directoryFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    Listing listing(fd < 0 ? nullptr : ::fdopendir(fd));
    if (!listing && fd >= 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return listing;
}

// Calls `visit` with the name of each entry of the directory `path` (by
// default the open directory `directoryFd` itself), through a descriptor of
// its own so that the directory's position is nobody else's. Whether the
// directory could be read.
template <typename Visit>
bool forEachEntry(int directoryFd, const char* path, Visit&& visit)
{
    const Listing listing = openListing(directoryFd, path);
    if (!listing) {
        return false;
    }
    while (const dirent* entry = ::readdir(listing.get())) {
        visit(std::string_view(entry->d_name));
    }
    return true;
}

template <typename Visit>
bool forEachEntry(int directoryFd, Visit&& visit)
{
    return forEachEntry(directoryFd, ".", std::forward<Visit>(visit));
}

}  // namespace store
