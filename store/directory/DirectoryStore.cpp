#include "store/directory/DirectoryStore.h"

#include "common/StartupError.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>

namespace store {

namespace {

using crashreports::StartupError;
using crashreports::withReason;

// Report bytes written before they are synced together, so that a batch of
// large reports is not all held back until the end.
constexpr std::uint64_t kMostGroupBytes = 64 << 20;

DiskBudget makeBudget(int directoryFd, const std::filesystem::path& directory, const BudgetOptions& options)
{
    struct statvfs filesystem {};
    if (::fstatvfs(directoryFd, &filesystem) != 0) {
        const int error = errno;
        throw StartupError(withReason("can't measure the filesystem of " + directory.string(), error));
    }
    const std::uint64_t size = std::uint64_t{filesystem.f_blocks} * filesystem.f_frsize;
    return DiskBudget(budgetLimits(options, size, filesystem.f_files), filesystem.f_frsize);
}

}  // namespace

DirectoryStore::DirectoryStore(std::filesystem::path directory, const StoreOptions& options,
                               const triage::SkipRules& rules)
    : files_(std::move(directory)),
      decisionLog_(files_.directory()),
      budget_(makeBudget(files_.fd(), files_.directory(), options.budget)),
      index_(files_, rules, options.regressedAfter, budget_.logBound(), outbox_),
      alsoOnDisk_(options.alsoOnDisk),
      maxAge_(options.maxAge)
{
    const auto [files, bytes] = budget_.recyclingLimits();
    files_.limitRecycling(files, bytes);
    refreshTotals();
    makeDecisionLog();
}

void DirectoryStore::prepareBatch()
{
    checkPlaces();
    measure();
    mostStagedReports_ = files_.mostOpenTemporaries();
}

void DirectoryStore::checkPlaces()
{
    auto reopening = files_.reopenIfReplaced();
    if (!reopening) {
        index_.check();
        return;
    }
    outbox_.notices.push_back(std::move(reopening->notice));
    if (reopening->reopened) {
        index_.open();
        refreshTotals();
        makeDecisionLog();
    }
}

StagingLimits DirectoryStore::stagingLimits() const
{
    return {mostStagedReports_, kMostGroupBytes};
}

StageResult DirectoryStore::stage(std::span<const unsigned char> report, const ReportInfo& info)
{
    const std::string& group = info.signature.id;
    const std::string sender = info.sender.addressText();
    budget_.reserve(group, sender, report.size());
    ReportFiles::Staged staged = files_.stage(report);
    if (!staged.staging) {
        budget_.release(group, sender, report.size());
        return {std::nullopt, std::move(staged.error), staged.outOfDescriptors};
    }
    return {PendingReport{report.size(), info, std::move(staged.staging)}, {}};
}

std::vector<CommitResult> DirectoryStore::commit(std::vector<PendingReport>& group)
{
    std::vector<CommitResult> results(group.size());
    const std::vector<std::string> errors = files_.makeDurable(group);
    bool durable = false;
    try {
        durable = nameAndSync(group, errors, results);
    } catch (...) {
        // A commit cut short leaves no group open in the index.
        index_.closeGroup(false);
        throw;
    }
    index_.closeGroup(durable);
    account(group, results);
    return results;
}

bool DirectoryStore::nameAndSync(std::vector<PendingReport>& group, const std::vector<std::string>& errors,
                                 std::vector<CommitResult>& results)
{
    bool named = false;
    for (std::size_t index = 0; index < group.size(); ++index) {
        results[index] = files_.name(group[index], errors[index]);
        if (!results[index].name.empty()) {
            named = true;
            // The index takes it meanwhile, and keeps it once it is durable.
            index_.hand(group[index], results[index].name, budget_.onDisk(group[index].size));
        }
    }
    index_.handedAll();
    const std::string error = named ? files_.syncDirectory() : std::string();
    if (error.empty()) {
        return true;
    }
    for (auto& result : results) {
        if (!result.name.empty()) {
            result.error = error + "; " + result.name + " is whole but may not outlast a power loss";
        }
    }
    return false;
}

void DirectoryStore::account(std::vector<PendingReport>& group, const std::vector<CommitResult>& results)
{
    for (std::size_t index = 0; index < group.size(); ++index) {
        const std::string& groupId = group[index].info.signature.id;
        const std::string sender = group[index].info.sender.addressText();
        if (results[index].name.empty()) {
            budget_.release(groupId, sender, group[index].size);
        } else {
            budget_.settle(groupId, sender, group[index].size);
        }
        if (results[index].stored()) {
            ++totals_.reports;
            totals_.disk += budget_.onDisk(group[index].size);
        }
    }
    for (auto& report : group) {
        report.staging.reset();
    }
}

Outbox DirectoryStore::drainOutbox(Settle settle)
{
    if (settle == Settle::Yes) {
        index_.settle();
    }
    const std::size_t unrecorded = index_.takeRecorded();
    Outbox drained = std::exchange(outbox_, {});
    drained.unrecorded = unrecorded;
    return drained;
}

bool DirectoryStore::catchUp(std::chrono::milliseconds slice)
{
    checkPlaces();
    const DirectoryIndex::Step step = index_.catchUp(slice);
    if (step == DirectoryIndex::Step::WalkEnded) {
        refreshTotals();
    }
    if (step == DirectoryIndex::Step::Nothing) {
        keepWithinBudget();
        removeAged();
    }
    return step != DirectoryIndex::Step::Nothing;
}

StoreFigures DirectoryStore::figures()
{
    const std::uint64_t maxUse = budget_.limits().maxUse;
    return {index_.groupCountIfIdle(), totals_.disk, maxUse == 0 ? std::nullopt : std::optional(maxUse)};
}

void DirectoryStore::refreshTotals()
{
    if (const auto totals = index_.totalsIfIdle()) {
        totals_ = *totals;
    }
}

}  // namespace store
