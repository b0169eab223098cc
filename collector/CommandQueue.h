#pragma once

// Which command for news of crash groups runs next. Commands wait by the
// host that sent the report; at most kMostRunning run at once, at most
// kMostPerHost of them for one host, and the hosts take turns, so that a host
// that sends a flood of new crashes can't hold back another host's command.
// What waits is bounded, for each host and in all: past that a command is
// skipped, and the skipped ones are counted by host for one line each.

#include "store/ReportStore.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace collector {

// "10.1.2.3" of "10.1.2.3:40000".
std::string_view hostOf(std::string_view sender);

class CommandQueue {
public:
    static constexpr std::size_t kMostRunning = 4;
    // One slot is always left for the other hosts.
    static constexpr std::size_t kMostPerHost = kMostRunning - 1;
    static constexpr std::size_t kMostWaitingPerHost = 16;
    static constexpr std::size_t kMostWaiting = 1024;
    // Hosts named in the lines of what was skipped; the others are counted
    // together.
    static constexpr std::size_t kMostNamed = 16;

    struct Skipped {
        std::string host;  // empty: the hosts past kMostNamed, `hosts` of them
        std::uint64_t commands = 0;
        std::uint64_t hosts = 1;
    };

    // Queues the command for `news`, or counts it as skipped.
    void add(store::GroupNews news);
    // The next command to start, if a slot is free and one waits: from the
    // next host in turn that is under kMostPerHost. It counts as running
    // until ended() is called with its sender.
    std::optional<store::GroupNews> next();
    void ended(std::string_view sender);
    // Drops every command that waits; how many there were.
    std::uint64_t dropWaiting();
    // What was skipped since the last call, by host.
    std::vector<Skipped> takeSkipped();
    bool skippedAny() const { return !skipped_.empty() || otherSkipped_.commands != 0; }
    std::size_t running() const { return running_; }

private:
    struct Host {
        std::deque<store::GroupNews> waiting;
        std::size_t running = 0;
    };

    void skip(const std::string& host);

    std::map<std::string, Host, std::less<>> hosts_;  // those with a command waiting or running
    std::string lastServed_;
    std::size_t waiting_ = 0;
    std::size_t running_ = 0;
    std::map<std::string, std::uint64_t, std::less<>> skipped_;
    Skipped otherSkipped_{{}, 0, 0};
    std::set<std::string, std::less<>> otherHosts_;
};

}  // namespace collector
