#pragma once

// Opens a store for reading by what names it: a directory, or a database's
// URI. The reader (crashReports) and the page take any store this way.

#include "Catalog.h"
#include "SkipRules.h"

#include <cstdint>
#include <memory>
#include <string>

namespace store {

// The catalog of the store that `store` names. Throws
// crashreports::StartupError with a one-line reason when the store is not
// there or can't be read.
std::unique_ptr<Catalog> openCatalog(const std::string& store);

struct ReindexResult {
    std::uint64_t reports = 0;
    std::uint64_t groups = 0;
};

// Rebuilds the index of the store that `store` names from its reports alone,
// signing each with `rules`. Throws crashreports::StartupError with a
// one-line reason if it can't.
ReindexResult reindex(const std::string& store, const triage::SkipRules& rules);

}  // namespace store
