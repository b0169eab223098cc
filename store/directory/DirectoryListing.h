#pragma once

// Private to store/directory/.

// Walking a directory's entries through a descriptor of its own.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <string_view>
#include <utility>

namespace store {

// Calls `visit` with the name of each entry of the directory `path` (by
// default the open directory `directoryFd` itself), through a descriptor of
// its own so that the directory's position is nobody else's. Whether the
// directory could be read.
template <typename Visit>
bool forEachEntry(int directoryFd, const char* path, Visit&& visit)
{
    const int fd = ::openat(directoryFd, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = fd < 0 ? nullptr : ::fdopendir(fd);
    if (listing == nullptr) {
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    while (const dirent* entry = ::readdir(listing)) {
        visit(std::string_view(entry->d_name));
    }
    ::closedir(listing);
    return true;
}

template <typename Visit>
bool forEachEntry(int directoryFd, Visit&& visit)
{
    return forEachEntry(directoryFd, ".", std::forward<Visit>(visit));
}

}  // namespace store
