#pragma once

// A catalog held in memory, for tests and benchmarks of what reads a
// catalog: it answers as a store's index does, from reports added to it
// with whatever summary, signature and bytes a test chooses, hostile ones
// included.

#include "store/Catalog.h"

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace test_support {

class FakeCatalog : public store::Catalog {
public:
    // Adds a report to `summary.group`; the group takes its title and
    // `signature` from its first report. `summary.bytes` is set to the
    // size of `bytes`.
    void add(store::ReportSummary summary, std::string signature, std::string_view bytes);

    std::vector<store::GroupSummary> groups(const store::ReportFilter& filter) override;
    std::vector<store::ReportSummary> reports(const store::ReportFilter& filter) override;
    std::uint64_t countReports(const store::ReportFilter& filter) override;
    std::optional<store::ReportSummary> report(const std::string& id) override;
    std::optional<std::vector<unsigned char>> reportBytes(const std::string& id) override;
    // Buckets aligned to whole multiples of `width` since the epoch, as
    // hours and days are.
    store::Histogram histogram(const std::optional<std::string>& group, std::chrono::seconds width,
                               std::size_t buckets, store::TimePoint now) override;
    // The decisions a test took, in order.
    store::DecisionRecord decisions() override;
    std::uint64_t hostsOf(std::span<const std::string> groups) override;
    std::set<std::string> groupsMentioning(std::string_view text) override;
    std::vector<store::Decision> decided;

private:
    struct Entry {
        store::ReportSummary summary;
        std::vector<unsigned char> bytes;
    };
    struct Group {
        std::string title;
        std::string signature;
        std::vector<std::size_t> entries;  // newest first, once sorted
    };

    // The entries `filter` lets through (its limit aside), newest first.
    std::vector<const Entry*> select(const store::ReportFilter& filter);
    void sortNewestFirst();

    std::vector<Entry> entries_;
    std::map<std::string, Group> groups_;
    std::unordered_map<std::string, std::size_t> byId_;
    std::vector<std::size_t> all_;  // newest first, once sorted
    bool sorted_ = true;
};

}  // namespace test_support
