// Measures ways of storing many small files durably in one directory, side by
// side in one run: each file written to a temporary and renamed, with
//   - an fsync of each file before its rename (one report at a time);
//   - one syncfs for a group of files, then their renames;
//   - writeback started for each file of a group (sync_file_range), then an
//     fdatasync of each, then their renames;
//   - no sync at all: the ceiling for one file per report.
// Every way but the last syncs the directory once a group.
// The files are left in DIRECTORY for the caller to remove once it has
// measured all it wants: for some minutes after thousands of files are
// removed, ext4 takes far longer to make new ones.
// Usage: store_strategies DIRECTORY [FILES [GROUP]]   (default 2000 files, groups of 256)

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

enum class Strategy { FsyncEach, SyncfsGroup, FdatasyncGroup, NoSync };

int openFile(int directory, const std::string& name)
{
    const int fd = ::openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd < 0) {
        std::perror(name.c_str());
        std::exit(1);
    }
    return fd;
}

// Files stored a second.
double measure(const std::filesystem::path& base, Strategy strategy, int files, int group)
{
    const auto directory = base / std::to_string(static_cast<int>(strategy));
    std::filesystem::create_directories(directory);
    const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const std::string content(1024, 'x');
    const auto start = std::chrono::steady_clock::now();
    for (int first = 0; first < files; first += group) {
        std::vector<std::string> names;
        std::vector<int> open;
        for (int index = first; index < first + group && index < files; ++index) {
            names.push_back(".tmp-" + std::to_string(index));
            const int fd = openFile(dir, names.back());
            if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
                std::exit(1);
            }
            if (strategy == Strategy::FsyncEach) {
                ::fsync(fd);
            }
            if (strategy == Strategy::FdatasyncGroup) {
                ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
                open.push_back(fd);
            } else {
                ::close(fd);
            }
        }
        if (strategy == Strategy::SyncfsGroup) {
            ::syncfs(dir);
        }
        for (const int fd : open) {
            ::fdatasync(fd);
            ::close(fd);
        }
        for (const auto& name : names) {
            ::renameat(dir, name.c_str(), dir, (name.substr(5) + ".report").c_str());
        }
        if (strategy != Strategy::NoSync) {
            ::fsync(dir);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::close(dir);
    return files / seconds;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fputs("usage: store_strategies DIRECTORY [FILES [GROUP]]\n", stderr);
        return 2;
    }
    const std::filesystem::path base = argv[1];
    const int files = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int group = argc > 3 ? std::atoi(argv[3]) : 256;
    // One line a way: its name and files a second.
    std::printf("fsync-each %.0f\n", measure(base, Strategy::FsyncEach, files, group));
    std::printf("syncfs-group %.0f\n", measure(base, Strategy::SyncfsGroup, files, group));
    std::printf("fdatasync-group %.0f\n", measure(base, Strategy::FdatasyncGroup, files, group));
    std::printf("no-sync %.0f\n", measure(base, Strategy::NoSync, files, group));
    return 0;
}
