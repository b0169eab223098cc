#include "store/directory/IndexCatchUp.h"

#include "common/FrameFormat.h"
#include "common/UniqueFd.h"
#include "store/ReportNames.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

namespace store {

namespace {

using Steady = std::chrono::steady_clock;

// Entries read between looks at the clock, and written in one transaction.
constexpr std::size_t kSlice = 256;

// The whole content of the regular file `fd` of `size` bytes; nothing if it
// can't be read whole.
std::optional<std::vector<unsigned char>> readWhole(int fd, std::uint64_t size)
{
    std::vector<unsigned char> bytes(size);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (count <= 0) {
            return std::nullopt;
        }
        done += static_cast<std::size_t>(count);
    }
    return bytes;
}

}  // namespace

std::optional<IndexEntry> readIndexEntry(int directoryFd, std::string_view name, const triage::SkipRules& rules)
{
    const auto facts = parseReportName(name);
    if (!facts) {
        return std::nullopt;
    }
    const std::string file(name);
    const crashreports::UniqueFd fd(
        ::openat(directoryFd, file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
    struct stat status {};
    if (!fd || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)
        || static_cast<std::uint64_t>(status.st_size) > frame_format::kMaxReportSize) {
        return std::nullopt;
    }
    const auto bytes = readWhole(fd.get(), static_cast<std::uint64_t>(status.st_size));
    if (!bytes) {
        return std::nullopt;
    }
    return IndexEntry{file,
                      facts->received,
                      facts->sender,
                      bytes->size(),
                      static_cast<std::uint64_t>(status.st_blocks) * 512,
                      triage::computeSignature(*bytes, rules)};
}

IndexCatchUp::IndexCatchUp(ReportIndex& index, const triage::SkipRules& rules, std::chrono::seconds quiet,
                           std::function<void(std::string_view)> tidy)
    : index_(index), rules_(rules), quiet_(quiet), tidy_(std::move(tidy))
{
}

void IndexCatchUp::start(int directoryFd)
{
    directoryFd_ = directoryFd;
    listing_ = openListing(directoryFd);
    lastId_.clear();
    tally_ = {};
    newestIndexed_ = index_.newestReceived();
    phase_ = listing_ ? Phase::Files : Phase::Gone;
}

bool IndexCatchUp::step(Steady::time_point deadline)
{
    if (phase_ == Phase::Files) {
        stepFiles(deadline);
    } else if (phase_ == Phase::Gone) {
        stepGone(deadline);
    } else if (phase_ == Phase::Outdated) {
        stepOutdated(deadline);
    }
    return running();
}

void IndexCatchUp::stepFiles(Steady::time_point deadline)
{
    std::vector<IndexEntry> missing;
    do {
        for (std::size_t read = 0; read < kSlice; ++read) {
            const dirent* entry = ::readdir(listing_.get());
            if (entry == nullptr) {
                listing_.reset();
                phase_ = Phase::Gone;
                // Lock files last, while they still tell whose temporaries
                // are whose.
                for (const auto& name : std::exchange(lockFiles_, {})) {
                    tidy_(name);
                }
                break;
            }
            if (lockOwner(entry->d_name) || newLockOwner(entry->d_name)) {
                lockFiles_.emplace_back(entry->d_name);
            } else if (!parseReportName(entry->d_name)) {
                tidy_(entry->d_name);
            } else if (!index_.contains(entry->d_name)) {
                if (auto indexed = readIndexEntry(directoryFd_, entry->d_name, rules_)) {
                    missing.push_back(std::move(*indexed));
                }
            }
        }
    } while (phase_ == Phase::Files && Steady::now() < deadline);
    addMissing(missing);
}

void IndexCatchUp::addMissing(std::vector<IndexEntry>& missing)
{
    // In the order they came, so that a group's first is told as new.
    std::ranges::sort(missing, [](const IndexEntry& one, const IndexEntry& other) {
        return std::tie(one.received, one.id) < std::tie(other.received, other.id);
    });
    const std::vector<GroupEvent> events = index_.add(missing, quiet_);
    for (std::size_t index = 0; index < missing.size(); ++index) {
        const IndexEntry& entry = missing[index];
        if (events[index] != GroupEvent::None && newestIndexed_ && entry.received > *newestIndexed_) {
            news_.push_back({events[index], entry.signature.id, entry.signature.title, entry.id, entry.sender.text()});
        }
    }
    tally_.indexed += missing.size();
}

void IndexCatchUp::stepGone(Steady::time_point deadline)
{
    std::vector<std::string> gone;
    do {
        const std::vector<std::string> ids = index_.idsAfter(lastId_, kSlice);
        for (const auto& id : ids) {
            struct stat status {};
            if (::fstatat(directoryFd_, id.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
                gone.push_back(id);
            }
        }
        if (ids.size() < kSlice) {
            phase_ = Phase::Outdated;
            break;
        }
        lastId_ = ids.back();
    } while (Steady::now() < deadline);
    index_.forget(gone);
    tally_.forgotten += gone.size();
}

void IndexCatchUp::stepOutdated(Steady::time_point deadline)
{
    do {
        const std::vector<std::string> ids = index_.outdated(kSlice);
        std::vector<IndexEntry> again;
        for (const auto& id : ids) {
            if (auto entry = readIndexEntry(directoryFd_, id, rules_)) {
                again.push_back(std::move(*entry));
            }
        }
        // A report whose file can't be read any more is forgotten, so that
        // the walk ends.
        index_.update(ids, again, std::chrono::seconds(0));
        tally_.signedAgain += again.size();
        if (ids.size() < kSlice) {
            phase_ = Phase::Idle;
            return;
        }
    } while (Steady::now() < deadline);
}

}  // namespace store
