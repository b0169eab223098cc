#pragma once

// The triage site: a static, self-contained set of pages about the reports
// in a catalog, for people deciding which crash to look at first.

#include "Catalog.h"

#include <filesystem>

namespace triage {
// Writes the triage site for `catalog` into `outDir`, atomically: a new directory renamed into place, so a reader never sees half a site. Throws crashreports::StartupError (common/StartupError.h) with a one-line reason if it can't.
void writePage(store::Catalog& catalog, const std::filesystem::path& outDir, store::TimePoint now);
}
