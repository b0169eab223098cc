// Times writePage on a large catalog in memory: the first site (every
// report page written) and the next one (report pages linked from the
// first), and tells the size of index.html. Goal: under 2 s for 100,000
// reports in 5,000 groups, index.html under 2 MB.
// Usage: page_bench [GROUPS REPORTS]   (default: 5000 100000)

#include "FakeCatalog.h"
#include "SampleCatalogs.h"
#include "common/StartupError.h"
#include "page/Site.h"

#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

namespace {

using namespace std::chrono;
namespace fs = std::filesystem;

double secondsSince(steady_clock::time_point start)
{
    return duration<double>(steady_clock::now() - start).count();
}

std::size_t filesIn(const fs::path& directory)
{
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(directory)) {
        count += entry.is_regular_file() ? 1 : 0;
    }
    return count;
}

void timeWrite(const char* what, test_support::FakeCatalog& catalog, const fs::path& site, store::TimePoint now)
{
    const auto start = steady_clock::now();
    triage::writePage(catalog, site, now);
    std::printf("%-36s %6.2f s\n", what, secondsSince(start));
}

}  // namespace

int main(int argc, char** argv)
{
    const std::size_t groups = argc > 2 ? std::stoul(argv[1]) : 5000;
    const std::size_t reports = argc > 2 ? std::stoul(argv[2]) : 100000;
    const store::TimePoint now = sys_days{2026y / 12 / 9} + 8h;

    auto start = steady_clock::now();
    test_support::FakeCatalog catalog;
    test_support::addSampleReports(catalog, now, {.groups = groups, .reports = reports, .seed = 1});
    std::printf("catalog in memory: %zu reports in %zu groups (%.2f s to make)\n", reports, groups,
                secondsSince(start));

    std::string scratch = (fs::temp_directory_path() / "page-bench-XXXXXX").string();
    if (::mkdtemp(scratch.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path site = fs::path(scratch) / "site";
    try {
        timeWrite("writePage, first site:", catalog, site, now);
        timeWrite("writePage, next site (pages linked):", catalog, site, now + 1min);
    } catch (const crashreports::StartupError& error) {
        std::fprintf(stderr, "page_bench: %s\n", error.what());
        return 1;
    }
    std::printf("index.html: %.2f MB (%ju bytes)\n", static_cast<double>(fs::file_size(site / "index.html")) / 1e6,
                static_cast<std::uintmax_t>(fs::file_size(site / "index.html")));
    std::printf("pages: %zu groups, %zu report texts\n", filesIn(site / "groups"), filesIn(site / "reports"));
    fs::remove_all(scratch);
    return 0;
}
