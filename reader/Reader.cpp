#include "reader/Reader.h"

#include "common/CommandLine.h"
#include "common/FrameFormat.h"
#include "common/Plural.h"
#include "common/StartupError.h"
#include "common/UniqueFd.h"
#include "page/Site.h"
#include "reader/ReaderOutput.h"
#include "reader/ReaderParts.h"
#include "store/StoreOptions.h"
#include "signature/Signature.h"
#include "store/OpenStore.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>

namespace triage {

namespace {

using crashreports::inQuotes;


// The signature under `rules` of each group's newest report; nothing for a
// report that the store no longer holds.
std::vector<std::optional<Signature>> signNewest(store::Catalog& catalog, std::span<const store::DecidedGroup> groups,
                                                 const SkipRules& rules)
{
    std::vector<std::optional<Signature>> signatures;
    for (const auto& group : groups) {
        const auto bytes = catalog.reportBytes(group.group.newest);
        signatures.push_back(bytes ? std::optional(computeSignature(*bytes, rules)) : std::nullopt);
    }
    return signatures;
}

Outcome showGroups(store::Catalog& catalog, const ReaderOptions& options, const SkipRules* underRules,
                   store::TimePoint now)
{
    const store::DecisionBook book(catalog.decisions());
    store::GroupQuery query{filterOf(options), options.state, options.all, std::nullopt};
    if (options.command == Command::Search) {
        query.text = options.operands.front();
    }
    const auto groups = store::decideGroups(catalog, book, query, now, store::kDefaultRegressedAfter);
    const auto signatures = underRules ? signNewest(catalog, groups, *underRules) : std::vector<std::optional<Signature>>{};
    return {0, options.json ? groupsJson(groups, signatures) : groupsTable(groups, signatures), {}};
}

Outcome listReports(store::Catalog& catalog, const ReaderOptions& options, store::TimePoint now)
{
    const store::DecisionBook book(catalog.decisions());
    // Checked apart from --since, so that a group with no recent report is
    // an empty list rather than an unknown group.
    if (options.group && !store::decideGroup(catalog, book, *options.group, now, store::kDefaultRegressedAfter)) {
        return failure("no group " + inQuotes(*options.group) + " in " + options.store.shown());
    }
    const auto reports = chosenReports(catalog, book, options, now);
    return {0, options.json ? reportsJson(reports) : reportsTable(reports), {}};
}

Outcome showReport(store::Catalog& catalog, const ReaderOptions& options, store::TimePoint now)
{
    const std::string& id = options.operands.front();
    if (isGroupId(id)) {
        return showGroup(catalog, options, now);
    }
    const auto bytes = catalog.reportBytes(id);
    if (!bytes) {
        return failure("no report " + inQuotes(id) + " in " + options.store.shown());
    }
    return {0, std::string(bytes->begin(), bytes->end()), {}};
}

Outcome writeStorePage(store::Catalog& catalog, const std::string& outDir, store::TimePoint now)
{
    try {
        writePage(catalog, outDir, now);
        return {};
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        return failure("can't write the page into " + outDir + ": " + error.what());
    }
}

Outcome rebuildIndex(const store::StoreName& storeName, const SkipRules& rules)
{
    try {
        const auto result = store::reindex(storeName, rules);
        return {0,
                "reindexed " + storeName.shown() + ": " + crashreports::plural(result.reports, "report") + " in "
                    + crashreports::plural(result.groups, "group") + "\n",
                {}};
    } catch (const crashreports::StartupError& error) {
        return failure(error.what());
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        return failure("can't reindex " + storeName.shown() + ": " + error.what());
    }
}

struct FileBytes {
    std::vector<unsigned char> bytes;
    std::string error;
};

// The bytes of the file at `path`, which no report that a collector stores
// is larger than; an error line for a file that can't be read or is.
FileBytes readReportFile(const std::string& path)
{
    crashreports::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return {{}, crashreports::withReason("can't open " + path, errno)};
    }
    FileBytes file;
    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return {{}, crashreports::withReason("can't read " + path, errno)};
        }
        if (got == 0) {
            return file;
        }
        if (file.bytes.size() + static_cast<std::size_t>(got) > frame_format::kMaxReportSize) {
            return {{},
                    "can't read " + path + ": larger than " + std::to_string(frame_format::kMaxReportSize)
                        + " bytes, more than any stored report"};
        }
        file.bytes.insert(file.bytes.end(), buffer.begin(), buffer.begin() + got);
    }
}

// For a user that may not read a directory store: the group that may, and
// how to join it; empty otherwise.
std::string permissionHint(const store::StoreName& storeName)
{
    struct stat status {};
    const char* path = storeName.text().c_str();
    if (storeName.isDatabase() || ::access(path, R_OK | X_OK) == 0 || errno != EACCES || ::stat(path, &status) != 0
        || inGroup(status.st_gid)) {
        return {};
    }
    const group* owner = ::getgrgid(status.st_gid);
    const passwd* user = ::getpwuid(::geteuid());
    const std::string groupName = owner != nullptr ? owner->gr_name : std::to_string(status.st_gid);
    return "; members of its group " + groupName + " read it: ask an administrator to add you (sudo adduser "
        + (user != nullptr ? user->pw_name : std::string("USER")) + " " + groupName + "), then log in again";
}

// groups, list, show or page against the store's catalog.
Outcome openAndRun(const ReaderOptions& options, const SkipRules* underRules, store::TimePoint now)
{
    try {
        const auto catalog = store::openCatalog(options.store);
        return runOnCatalog(*catalog, options, underRules, now);
    } catch (const crashreports::StartupError& error) {
        return failure(error.what() + permissionHint(options.store));
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        return failure("can't open " + options.store.shown() + ": " + error.what());
    }
}

}  // namespace

Outcome failure(std::string line)
{
    return {1, {}, {std::move(line)}};
}

// Whether the calling process is in group `gid`.
bool inGroup(gid_t gid)
{
    std::vector<gid_t> groups(static_cast<std::size_t>(std::max(::getgroups(0, nullptr), 0)));
    const int count = ::getgroups(static_cast<int>(groups.size()), groups.data());
    groups.resize(static_cast<std::size_t>(std::max(count, 0)));
    return ::getegid() == gid || std::ranges::find(groups, gid) != groups.end();
}

Outcome runOnCatalog(store::Catalog& catalog, const ReaderOptions& options, const SkipRules* underRules,
                     store::TimePoint now)
{
    try {
        switch (options.command) {
        case Command::Groups:
        case Command::Search: return showGroups(catalog, options, underRules, now);
        case Command::List: return listReports(catalog, options, now);
        case Command::Show: return showReport(catalog, options, now);
        case Command::Page: return writeStorePage(catalog, options.operands.front(), now);
        default: break;
        }
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& error) {
        return failure("can't read " + options.store.shown() + ": " + error.what());
    }
    return failure("reindex, signature and decisions read no catalog");
}

Outcome showSignatures(std::span<const std::string> files, const SkipRules& rules)
{
    Outcome outcome;
    for (const auto& path : files) {
        const auto file = readReportFile(path);
        if (!file.error.empty()) {
            outcome.status = 1;
            outcome.errors.push_back(file.error);
            continue;
        }
        if (!outcome.output.empty()) {
            outcome.output += '\n';
        }
        outcome.output += signatureText(path, computeSignature(file.bytes, rules));
    }
    return outcome;
}

Outcome runReader(const ReaderOptions& options, store::TimePoint now)
{
    const bool needsRules = options.command == Command::Signature || options.command == Command::Reindex
        || (options.command == Command::Groups && !options.rules.empty());
    if (decides(options.command)) {
        return takeDecision(options, now);
    }
    if (!needsRules) {
        return openAndRun(options, nullptr, now);
    }
    const auto loaded = loadSkipRules(options.rules);
    if (!loaded.error.empty()) {
        return failure(loaded.error);
    }
    switch (options.command) {
    case Command::Signature: return showSignatures(options.operands, loaded.rules);
    case Command::Reindex: return rebuildIndex(options.store, loaded.rules);
    default: return openAndRun(options, &loaded.rules, now);
    }
}

int writeOutcome(const Outcome& outcome, std::FILE* out, std::FILE* err)
{
    int status = outcome.status;
    const auto& output = outcome.output;
    if (std::fwrite(output.data(), 1, output.size(), out) != output.size() || std::fflush(out) != 0) {
        const int error = errno;
        std::fprintf(err, "crashReports: %s\n", crashreports::withReason("can't write to standard output", error).c_str());
        status = 1;
    }
    for (const auto& line : outcome.errors) {
        std::fprintf(err, "crashReports: %s\n", line.c_str());
    }
    return status;
}

}  // namespace triage
