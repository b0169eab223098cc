#pragma once

// Opening a store by its name, for the programs that read it: a directory
// (its index) or a postgresql:// URI (its tables). Only a store's own code
// knows how its reports and index are laid out.

#include "store/Catalog.h"
#include "store/ReportStore.h"
#include "store/StoreName.h"
#include "store/StoreOptions.h"

#include <cstdint>
#include <memory>
#include <string>

namespace triage {
class SkipRules;
}

namespace store {

// The store that `store` names, opened for the collector to store into.
// Throws crashreports::StartupError naming it if it can't be had.
std::unique_ptr<ReportStore> openStore(const StoreName& store, const StoreOptions& options,
                                       const triage::SkipRules& rules);

// The catalog of the store that `store` names, opened for reading. Throws
// crashreports::StartupError when the store is not there or can't be read;
// what() is the line to print: it names the store (a URI without its
// password) and why ("can't open report directory /srv/reports: No such
// file or directory").
std::unique_ptr<store::Catalog> openCatalog(const StoreName& store);

// Rebuilds the index of `store` from the reports it holds, with their
// signatures computed under `rules`; what it holds afterwards. Throws
// crashreports::StartupError as openCatalog() does, and std::exception with
// one line naming what failed when the rebuild does.
Rebuilt reindex(const StoreName& store, const triage::SkipRules& rules);

// Adds `decision` to the decisions of `store`, durably. Throws
// crashreports::StartupError as openCatalog() does, and std::exception
// with one line naming what failed when the decision can't be written.
void recordDecision(const StoreName& store, const Decision& decision);

}  // namespace store
