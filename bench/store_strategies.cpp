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
// With OTHER_MB, that much data of another program is left unsynced in
// DIRECTORY before each way starts, as on a filesystem that others write to;
// each line then also gives how much data still waited to be written out
// when the way was done: a sync of the whole filesystem writes out the
// other program's data too, and pays for it.
// Usage: store_strategies DIRECTORY [FILES [GROUP [OTHER_MB]]]
//        (default 2000 files, groups of 256, no other program's data)

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// Leaves `megabytes` of unsynced data in `file`, as another program on the
// same filesystem would: written over what the file held, so that only a
// sync of the file or of its filesystem writes it out (new data would also
// go out with the filesystem's journal).
void leaveUnsynced(const std::filesystem::path& file, int megabytes)
{
    const bool made = std::filesystem::exists(file);
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const std::string chunk(1 << 20, 'o');
    for (int pass = made ? 1 : 0; pass < 2; ++pass) {
        for (int written = 0; written < megabytes; ++written) {
            if (::pwrite(fd, chunk.data(), chunk.size(), static_cast<off_t>(written) << 20) < 0) {
                std::perror(file.c_str());
                std::exit(1);
            }
        }
        if (pass == 0) {
            ::fsync(fd);
        }
    }
    ::close(fd);
}

// The megabytes of the system's data that wait to be written out.
double dirtyMegabytes()
{
    std::ifstream meminfo("/proc/meminfo");
    for (std::string line; std::getline(meminfo, line);) {
        if (line.starts_with("Dirty:")) {
            return std::stod(line.substr(6)) / 1024;
        }
    }
    return 0;
}

// One way's line: its name and files a second; with another program's data
// left unsynced before it starts, also how much of all data still waited to
// be written out when it was done.
void report(const char* name, const std::filesystem::path& base, Strategy strategy, int files, int group,
            int otherMegabytes)
{
    if (otherMegabytes > 0) {
        leaveUnsynced(base / "other-program.dat", otherMegabytes);
    }
    const double rate = measure(base, strategy, files, group);
    if (otherMegabytes > 0) {
        std::printf("%s %.0f still-unsynced-MB %.0f\n", name, rate, dirtyMegabytes());
    } else {
        std::printf("%s %.0f\n", name, rate);
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fputs("usage: store_strategies DIRECTORY [FILES [GROUP [OTHER_MB]]]\n", stderr);
        return 2;
    }
    const std::filesystem::path base = argv[1];
    const int files = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int group = argc > 3 ? std::atoi(argv[3]) : 256;
    const int otherMegabytes = argc > 4 ? std::atoi(argv[4]) : 0;
    std::filesystem::create_directories(base);
    report("fsync-each", base, Strategy::FsyncEach, files, group, otherMegabytes);
    report("syncfs-group", base, Strategy::SyncfsGroup, files, group, otherMegabytes);
    report("fdatasync-group", base, Strategy::FdatasyncGroup, files, group, otherMegabytes);
    report("no-sync", base, Strategy::NoSync, files, group, otherMegabytes);
    return 0;
}
