// Writes a triage site from a sample catalog, for the browser test and the
// screenshot: "hostile" (reports that attack the page) or "sample" (30
// groups of varied crashes), as of 2026-12-09T08:00:00Z. With a third
// argument, also writes there the groups the catalog holds, as JSON:
// [{"group": ID, "count": N}, ...], latest activity first.
// Usage: write_sample_site hostile|sample OUTDIR [GROUPS_JSON]

#include "FakeCatalog.h"
#include "SampleCatalogs.h"
#include "common/StartupError.h"
#include "page/Site.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string_view>

namespace {

using namespace std::chrono;

// `text` as a JSON string; the catalogs here hold ASCII ids only.
std::string jsonString(std::string_view text)
{
    std::string json = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            json += escaped;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

void writeGroups(test_support::FakeCatalog& catalog, const char* path)
{
    std::ofstream out(path);
    const char* separator = "[";
    for (const auto& group : catalog.groups({})) {
        out << separator << "\n  {\"group\": " << jsonString(group.group) << ", \"count\": " << group.count << "}";
        separator = ",";
    }
    out << "\n]\n";
    if (!out.flush()) {
        throw crashreports::StartupError(std::string(path) + ": cannot write the groups");
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string_view kind = argc > 1 ? argv[1] : "";
    if ((argc != 3 && argc != 4) || (kind != "hostile" && kind != "sample")) {
        std::cerr << "usage: write_sample_site hostile|sample OUTDIR [GROUPS_JSON]\n";
        return 2;
    }
    const store::TimePoint now = sys_days{2026y / 12 / 9} + 8h;
    test_support::FakeCatalog catalog;
    if (kind == "hostile") {
        test_support::addHostileReports(catalog, now);
    } else {
        test_support::addSampleReports(catalog, now, {.groups = 30, .reports = 1500, .seed = 7});
    }
    try {
        triage::writePage(catalog, argv[2], now);
        if (argc == 4) {
            writeGroups(catalog, argv[3]);
        }
    } catch (const crashreports::StartupError& error) {
        std::cerr << "write_sample_site: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
