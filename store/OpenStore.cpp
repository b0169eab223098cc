#include "store/OpenStore.h"

#include "common/StartupError.h"
#include "store/directory/DecisionLog.h"
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

void recordDecision(const StoreName& store, const Decision& decision)
{
    if (store.isDatabase()) {
        try {
            recordPostgresDecision(store, decision);
            return;
        } catch (const pg::Error& error) {
            throw std::runtime_error("can't record the decision in " + store.shown() + ": " + error.what());
        }
    }
    const DecisionLog log(store.text());
    log.create();
    log.append(decision);
}

}  // namespace store
