#pragma once

// Stores reports as files in one directory, each whole or not at all: the
// bytes go to a temporary file that is synced and only then renamed to its
// final name, which ends in ".report". Names are the collector's own (receive
// time, sender, sequence number); nothing from a report goes into a path.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "UniqueFd.h"

namespace collector {

struct Sender {
    std::string address;
    std::uint16_t port = 0;
};

// "20261208T115959.123456Z_127.0.0.1_40000_000001.report"
std::string reportFileName(std::chrono::system_clock::time_point received, const Sender& sender,
                           std::uint64_t sequence);

struct StoreResult {
    std::optional<std::filesystem::path> path;  // the stored report, if it was stored
    std::string error;                          // why not, otherwise
};

class ReportStore {
public:
    // Creates the directory if it is missing; throws std::system_error naming
    // it if it can't be created, opened or written to.
    explicit ReportStore(std::filesystem::path directory);

    StoreResult store(std::span<const unsigned char> report, const Sender& sender,
                      std::chrono::system_clock::time_point received);
    // Makes the renames since the last call durable with one sync of the
    // directory, so that a burst of reports shares it. An error text, or empty.
    std::string syncDirectory();
    const std::filesystem::path& directory() const { return directory_; }

private:
    StoreResult storeAs(std::span<const unsigned char> report, const std::string& finalName);

    std::filesystem::path directory_;
    UniqueFd directoryFd_;
    std::uint64_t sequence_ = 0;
    bool unsyncedRenames_ = false;
};

}  // namespace collector
