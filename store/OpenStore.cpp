#include "store/OpenStore.h"

#include "common/StartupError.h"
#include "store/directory/DirectoryCatalog.h"
#include "store/directory/DirectoryIndex.h"
#include "store/directory/DirectoryStore.h"
#include "store/postgres/PostgresCatalog.h"
#include "store/postgres/PostgresStore.h"

namespace store {

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

Rebuilt reindex(const StoreName& store, const triage::SkipRules& rules)
{
    if (store.isDatabase()) {
        try {
            return rebuildPostgres(store, rules);
        } catch (const pg::Error& error) {
            throw crashreports::StartupError("can't rebuild the groups of " + store.shown() + ": " + error.what());
        }
    }
    return rebuildIndex(store.text(), rules);
}

}  // namespace store
