#include "store/OpenStore.h"

#include "common/StartupError.h"
#include "common/UniqueFd.h"
#include "store/directory/DirectoryCatalog.h"
#include "store/directory/DirectoryStore.h"
#include "store/directory/IndexCatchUp.h"
#include "store/postgres/PostgresCatalog.h"
#include "store/postgres/PostgresStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace store {

namespace {

using crashreports::StartupError;
using crashreports::UniqueFd;

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

}  // namespace

std::unique_ptr<ReportStore> openStore(const StoreName& store, const StoreOptions& options,
                                       const triage::SkipRules& rules)
{
    if (store.isDatabase()) {
        return std::make_unique<PostgresStore>(store, options);
    }
    return std::make_unique<DirectoryStore>(store.text(), options, rules);
}

std::unique_ptr<Catalog> openCatalog(const StoreName& store)
{
    if (store.isDatabase()) {
        return std::make_unique<PostgresCatalog>(store);
    }
    return std::make_unique<DirectoryCatalog>(store.text());
}

ReindexResult reindex(const StoreName& store, const triage::SkipRules& rules)
{
    if (store.isDatabase()) {
        try {
            const Rebuilt rebuilt = rebuildPostgres(store, rules);
            return {rebuilt.reports, rebuilt.groups};
        } catch (const pg::Error& error) {
            throw StartupError("can't rebuild the groups of " + store.shown() + ": " + error.what());
        }
    }
    const UniqueFd directory(::open(store.text().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) {
        const int error = errno;
        throw StartupError(crashreports::withReason("can't open report store " + store.text(), error));
    }
    const int listingFd = ::openat(directory.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = listingFd < 0 ? nullptr : ::fdopendir(listingFd);
    if (listing == nullptr) {
        const int error = errno;
        throw StartupError(crashreports::withReason("can't list report store " + store.text(), error));
    }
    const std::unique_ptr<DIR, int (*)(DIR*)> closing(listing, ::closedir);
    try {
        ReportIndex index(store.text());
        index.rebuild([&](IndexEntry& entry) {
            while (const dirent* file = ::readdir(listing)) {
                if (auto read = readIndexEntry(directory.get(), file->d_name, rules)) {
                    entry = std::move(*read);
                    return true;
                }
            }
            return false;
        });
        giveIndexToDirectoryOwner(directory.get());
        const IndexTotals totals = index.totals();
        return {totals.reports, index.groupCount()};
    } catch (const sqlite::Error& error) {
        throw StartupError("can't rebuild the index of " + store.text() + ": " + error.what());
    }
}

}  // namespace store
