#pragma once

// The catalog of a directory store: its index answers what is stored, and
// the report files give their bytes. Opens the index read-only, so that a
// member of the store's group reads it without writing anything.

#include "common/UniqueFd.h"
#include "store/Catalog.h"
#include "store/directory/ReportIndex.h"

#include <filesystem>

namespace store {

class DirectoryCatalog final : public Catalog {
public:
    // Throws StartupError naming the directory if it or its index can't be
    // read.
    explicit DirectoryCatalog(const std::filesystem::path& directory);

    std::vector<GroupSummary> groups(const ReportFilter& filter) override;
    std::vector<ReportSummary> reports(const ReportFilter& filter) override;
    std::uint64_t countReports(const ReportFilter& filter) override;
    std::optional<ReportSummary> report(const std::string& id) override;
    std::optional<std::vector<unsigned char>> reportBytes(const std::string& id) override;
    Histogram histogram(const std::optional<std::string>& group, std::chrono::seconds width, std::size_t buckets,
                        TimePoint now) override;
    DecisionRecord decisions() override;
    std::uint64_t hostsOf(std::span<const std::string> groups) override;
    std::set<std::string> groupsMentioning(std::string_view text) override;

private:
    std::filesystem::path directory_;
    crashreports::UniqueFd directoryFd_;
    ReportIndex index_;
};

}  // namespace store
