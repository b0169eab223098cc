#pragma once

// One self-contained web page of what crashed, written from a catalog.

#include "store/Catalog.h"

#include <filesystem>

namespace triage {

// Writes the page of `catalog`, as it stands at `now`, into the directory
// `outDir`. Throws std::exception with one line that names what failed
// (the file, and why).
void writePage(store::Catalog& catalog, const std::filesystem::path& outDir, store::TimePoint now);

}  // namespace triage
