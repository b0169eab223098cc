#include "FakeCatalog.h"

#include <algorithm>
#include <set>

namespace test_support {

namespace {

std::string_view addressOf(std::string_view sender)
{
    return sender.substr(0, std::min(sender.rfind(':'), sender.size()));
}

bool passes(const store::ReportSummary& report, const store::ReportFilter& filter)
{
    const auto matches = [](const std::optional<std::string>& wanted, const std::string& fact) {
        return !wanted || *wanted == fact;
    };
    return (!filter.since || report.received >= *filter.since) && matches(filter.host, report.host)
        && matches(filter.unit, report.unit) && matches(filter.executable, report.executable)
        && matches(filter.version, report.version);
}

}  // namespace

void FakeCatalog::add(store::ReportSummary summary, std::string signature, std::string_view bytes)
{
    summary.bytes = bytes.size();
    Group& group = groups_[summary.group];
    if (group.entries.empty()) {
        group.title = summary.title;
        group.signature = std::move(signature);
    }
    const std::size_t index = entries_.size();
    group.entries.push_back(index);
    all_.push_back(index);
    byId_[summary.report] = index;
    entries_.push_back({std::move(summary), {bytes.begin(), bytes.end()}});
    sorted_ = false;
}

void FakeCatalog::sortNewestFirst()
{
    if (sorted_) {
        return;
    }
    const auto newer = [this](std::size_t left, std::size_t right) {
        const auto& a = entries_[left].summary;
        const auto& b = entries_[right].summary;
        return a.received != b.received ? a.received > b.received : a.report > b.report;
    };
    std::ranges::sort(all_, newer);
    for (auto& [id, group] : groups_) {
        std::ranges::sort(group.entries, newer);
    }
    sorted_ = true;
}

std::vector<const FakeCatalog::Entry*> FakeCatalog::select(const store::ReportFilter& filter)
{
    sortNewestFirst();
    std::vector<const Entry*> selected;
    const auto group = filter.group ? groups_.find(*filter.group) : groups_.end();
    if (filter.group && group == groups_.end()) {
        return selected;
    }
    for (const std::size_t index : filter.group ? group->second.entries : all_) {
        if (passes(entries_[index].summary, filter)) {
            selected.push_back(&entries_[index]);
        }
    }
    return selected;
}

std::vector<store::GroupSummary> FakeCatalog::groups(const store::ReportFilter& filter)
{
    sortNewestFirst();
    std::vector<store::GroupSummary> summaries;
    for (const auto& [id, group] : groups_) {
        store::GroupSummary summary{.group = id, .title = group.title, .signature = group.signature};
        std::set<std::string_view> hosts;
        for (const std::size_t index : group.entries) {
            const store::ReportSummary& report = entries_[index].summary;
            if (!passes(report, filter)) {
                continue;
            }
            if (summary.count++ == 0) {
                summary.lastSeen = report.received;
                summary.newest = report.report;
            }
            summary.firstSeen = report.received;
            hosts.insert(addressOf(report.sender));
        }
        summary.hosts = hosts.size();
        if (summary.count > 0) {
            summaries.push_back(std::move(summary));
        }
    }
    std::ranges::sort(summaries, [](const auto& a, const auto& b) {
        return a.lastSeen != b.lastSeen ? a.lastSeen > b.lastSeen : a.group < b.group;
    });
    return summaries;
}

std::vector<store::ReportSummary> FakeCatalog::reports(const store::ReportFilter& filter)
{
    std::vector<store::ReportSummary> selected;
    for (const Entry* entry : select(filter)) {
        if (filter.limit && selected.size() >= *filter.limit) {
            break;
        }
        selected.push_back(entry->summary);
    }
    return selected;
}

std::uint64_t FakeCatalog::countReports(const store::ReportFilter& filter)
{
    return select(filter).size();
}

std::optional<store::ReportSummary> FakeCatalog::report(const std::string& id)
{
    const auto found = byId_.find(id);
    return found == byId_.end() ? std::nullopt : std::optional(entries_[found->second].summary);
}

std::optional<std::vector<unsigned char>> FakeCatalog::reportBytes(const std::string& id)
{
    const auto found = byId_.find(id);
    return found == byId_.end() ? std::nullopt : std::optional(entries_[found->second].bytes);
}

store::Histogram FakeCatalog::histogram(const std::optional<std::string>& group, std::chrono::seconds width,
                                        std::size_t buckets, store::TimePoint now)
{
    const auto last = std::chrono::floor<std::chrono::seconds>(now.time_since_epoch()) / width;
    const store::TimePoint start{width * (last - static_cast<long>(buckets) + 1)};
    store::Histogram histogram{.start = start, .width = width, .counts = std::vector<std::uint64_t>(buckets, 0)};
    const store::ReportFilter filter{.since = start, .group = group, .limit = std::nullopt};
    for (const Entry* entry : select(filter)) {
        const auto bucket = static_cast<std::size_t>((entry->summary.received - start) / width);
        if (bucket < buckets) {
            ++histogram.counts[bucket];
        }
    }
    return histogram;
}

store::DecisionRecord FakeCatalog::decisions()
{
    store::DecisionRecord record{decided, {}};
    for (const std::string& report : store::reportsNamedBy(decided)) {
        if (const auto found = byId_.find(report); found != byId_.end()) {
            record.groupOfReport[report] = entries_[found->second].summary.group;
        }
    }
    return record;
}

std::uint64_t FakeCatalog::hostsOf(std::span<const std::string> groups)
{
    std::set<std::string_view> hosts;
    for (const auto& entry : entries_) {
        if (std::ranges::find(groups, entry.summary.group) != groups.end()) {
            hosts.insert(addressOf(entry.summary.sender));
        }
    }
    return hosts.size();
}

std::set<std::string> FakeCatalog::groupsMentioning(std::string_view text)
{
    std::set<std::string> found;
    for (const auto& entry : entries_) {
        const auto& report = entry.summary;
        for (const std::string* fact : {&report.host, &report.unit, &report.executable, &report.signal, &report.version}) {
            if (fact->find(text) != std::string::npos) {
                found.insert(report.group);
            }
        }
    }
    return found;
}

}  // namespace test_support
