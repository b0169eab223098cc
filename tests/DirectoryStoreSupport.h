#pragma once

// What the tests of the directory store share: a store in a scratch
// directory, reports staged and committed one at a time, and its index
// brought up to date as an idle collector does.

#include "TestSupport.h"
#include "signature/Signature.h"
#include "store/directory/DirectoryStore.h"

#include <chrono>
#include <filesystem>
#include <memory>
#include <span>

namespace directory_store_test {

using namespace std::chrono;
using namespace test_support;
using crashreports::Endpoint;
using store::DirectoryStore;

inline const Endpoint kLoopback{0x7F000001, 5};

inline store::CommitResult commitOne(DirectoryStore& store, store::PendingReport&& pending)
{
    std::vector<store::PendingReport> group;
    group.push_back(std::move(pending));
    return store.commit(group).front();
}

inline const triage::SkipRules& rules()
{
    static const triage::SkipRules builtIn = triage::SkipRules::builtIn();
    return builtIn;
}

inline std::unique_ptr<DirectoryStore> openStore(const std::filesystem::path& directory,
                                                 store::StoreOptions options = {})
{
    return std::make_unique<DirectoryStore>(directory, options, rules());
}

inline store::ReportInfo infoOf(std::span<const unsigned char> report, system_clock::time_point received)
{
    return {kLoopback, received, triage::computeSignature(report, rules())};
}

inline store::CommitResult storeOne(DirectoryStore& store, std::span<const unsigned char> report,
                                    system_clock::time_point received = system_clock::now())
{
    auto staged = store.stage(report, infoOf(report, received));
    if (!staged.pending) {
        return {{}, staged.error, {}};
    }
    return commitOne(store, std::move(*staged.pending));
}

// Brings the store's index up to date, as an idle collector does.
inline void catchUp(DirectoryStore& store)
{
    for (int slice = 0; slice < 1000 && store.catchUp(seconds(1)); ++slice) {
    }
}

}  // namespace directory_store_test
