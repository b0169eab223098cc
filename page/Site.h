#pragma once

// One self-contained web page of what crashed, written from a catalog.

#include "store/Catalog.h"
#include "store/StoreOptions.h"

#include <chrono>
#include <filesystem>

namespace triage {

// Writes the page of `catalog`, as it stands at `now`, into the directory
// `outDir`; a group whose reports of the last day came after it was quiet
// for `regressedAfter` is marked regressed, as the collector tells it.
// Throws std::exception with one line that names what failed (the file,
// and why).
void writePage(store::Catalog& catalog, const std::filesystem::path& outDir, store::TimePoint now,
               std::chrono::seconds regressedAfter = store::kDefaultRegressedAfter);

}  // namespace triage
