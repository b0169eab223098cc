// Fills a directory store with COUNT small crash reports in GROUPS groups,
// as a collector that ran for a long time would leave it: report files named
// as the store names them, an index that holds them all, and the mark of a
// clean stop, so that the next collector trusts the index; and DECISIONS
// decisions on its groups, each with the newest reports of its group, in
// turn a fix in a version, an ignore, a merge into the next group and a fix.
// For measuring start-up and the reader on large stores; the files are not
// synced.
// Usage: fill_store DIRECTORY COUNT GROUPS [DECISIONS]

#include "signature/Signature.h"
#include "signature/SkipRules.h"
#include "store/ReportNames.h"
#include "store/directory/DecisionLog.h"
#include "store/directory/DirectoryStore.h"
#include "store/directory/ReportIndex.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::string reportText(unsigned group, unsigned index)
{
    return "signal 11 (SIGSEGV), fault address 0x" + std::to_string(index) + "\n#0  0x00005581c3a00037 in handler_"
        + std::to_string(group) + " (app.c:" + std::to_string(index % 90) + ")\n#1  0x00005581c3a00040 in main ()\n";
}

// Writes `count` reports, `batch` at a time into the index.
void fill(const std::filesystem::path& directory, unsigned count, unsigned groups)
{
    const triage::SkipRules rules = triage::SkipRules::builtIn();
    store::ReportIndex index(directory);
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const auto start = std::chrono::system_clock::now() - std::chrono::hours(24 * 30);
    std::vector<store::IndexEntry> entries;
    for (unsigned report = 0; report < count; ++report) {
        const auto received = start + std::chrono::seconds(report);
        const crashreports::Endpoint sender{0x0A000000 + report % 200, 40000};
        const std::string name = store::reportFileName(received, sender, report);
        const std::string text = reportText(report % groups, report);
        const int file = ::openat(fd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
        if (file < 0 || ::write(file, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            std::perror(name.c_str());
            std::exit(1);
        }
        ::close(file);
        const auto bytes = std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size());
        entries.push_back({name, received, sender, text.size(), 4096, triage::computeSignature(bytes, rules)});
        if (entries.size() == 10000 || report + 1 == count) {
            index.add(entries, std::chrono::seconds(0));
            entries.clear();
        }
    }
    ::close(fd);
}

// Appends `count` decisions on the `groups` groups of `count` reports.
void decide(const std::filesystem::path& directory, unsigned reports, unsigned groups, unsigned count)
{
    const triage::SkipRules rules = triage::SkipRules::builtIn();
    const auto start = std::chrono::system_clock::now() - std::chrono::hours(24 * 30);
    const auto groupOf = [&](unsigned group) {
        const std::string text = reportText(group, group);
        return triage::computeSignature(std::span(reinterpret_cast<const unsigned char*>(text.data()), text.size()),
                                        rules)
            .id;
    };
    const store::DecisionLog log(directory);
    log.create();
    for (unsigned decision = 0; decision < count; ++decision) {
        const unsigned group = decision % groups;
        store::Decision taken{store::DecisionKind::fix, groupOf(group), {}, {}, std::nullopt, start, "bench", "", {}};
        for (unsigned back = 1; back <= store::kDecisionReports; ++back) {
            // The newest reports of the group: the last of the indices that are `group` modulo `groups`.
            const unsigned last = (reports - 1 - group) / groups * groups + group;
            if (last >= (back - 1) * groups) {
                const unsigned report = last - (back - 1) * groups;
                taken.reports.push_back(store::reportFileName(start + std::chrono::seconds(report),
                                                              {0x0A000000 + report % 200, 40000}, report));
            }
        }
        switch (decision % 4) {
        case 0: taken.version = "1.2-" + std::to_string(decision); break;
        case 1: taken.kind = store::DecisionKind::ignore; break;
        case 2:
            taken.kind = store::DecisionKind::merge;
            taken.into = groupOf((group + 1) % groups);
            break;
        default: break;
        }
        log.append(taken);
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 4 && argc != 5) {
        std::fputs("usage: fill_store DIRECTORY COUNT GROUPS [DECISIONS]\n", stderr);
        return 2;
    }
    const std::filesystem::path directory = argv[1];
    std::filesystem::create_directories(directory);
    const auto reports = static_cast<unsigned>(std::atoi(argv[2]));
    const auto groups = static_cast<unsigned>(std::atoi(argv[3]));
    fill(directory, reports, groups);
    if (argc == 5) {
        decide(directory, reports, groups, static_cast<unsigned>(std::atoi(argv[4])));
    }
    // A store opened once more walks the files to see that the index holds
    // them, and leaves the mark of a clean stop.
    const triage::SkipRules rules = triage::SkipRules::builtIn();
    store::DirectoryStore store(directory, {}, rules);
    while (store.catchUp(std::chrono::seconds(10))) {
    }
    return 0;
}
