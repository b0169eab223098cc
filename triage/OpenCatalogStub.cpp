// Stand-ins until the stores and the page are there: every store is
// missing, and no page can be written.

#include "OpenCatalog.h"
#include "Page.h"
#include "StartupError.h"

#include <stdexcept>

namespace store {

std::unique_ptr<store::Catalog> openCatalog(const std::string&)
{
    throw crashreports::StartupError("no store yet");
}

ReindexResult reindex(const std::string&, const triage::SkipRules&)
{
    throw crashreports::StartupError("no store yet");
}

}  // namespace store

namespace triage {

void writePage(store::Catalog&, const std::filesystem::path&, store::TimePoint)
{
    throw std::runtime_error("no page yet");
}

}  // namespace triage
