#include "collector/CommandQueue.h"

#include <iterator>
#include <utility>

namespace collector {

std::string_view hostOf(std::string_view sender)
{
    return sender.substr(0, sender.rfind(':'));
}

void CommandQueue::add(store::GroupNews news)
{
    std::string host(hostOf(news.sender));
    auto found = hosts_.find(host);
    if (waiting_ >= kMostWaiting || (found != hosts_.end() && found->second.waiting.size() >= kMostWaitingPerHost)) {
        skip(host);
        return;
    }
    if (found == hosts_.end()) {
        found = hosts_.emplace(std::move(host), Host{}).first;
    }
    found->second.waiting.push_back(std::move(news));
    ++waiting_;
}

void CommandQueue::skip(const std::string& host)
{
    if (const auto counted = skipped_.find(host); counted != skipped_.end()) {
        ++counted->second;
    } else if (skipped_.size() < kMostNamed) {
        skipped_.emplace(host, 1);
    } else {
        ++otherSkipped_.commands;
        // The others are told as a count of hosts, which this bounds.
        if (otherHosts_.size() < kMostWaiting) {
            otherHosts_.insert(host);
        }
    }
}

std::optional<store::GroupNews> CommandQueue::next()
{
    if (running_ >= kMostRunning || waiting_ == 0) {
        return std::nullopt;
    }
    // The hosts after the one served last, then from the first again.
    auto candidate = hosts_.upper_bound(lastServed_);
    for (std::size_t looked = 0; looked < hosts_.size(); ++looked, ++candidate) {
        if (candidate == hosts_.end()) {
            candidate = hosts_.begin();
        }
        Host& host = candidate->second;
        if (!host.waiting.empty() && host.running < kMostPerHost) {
            store::GroupNews news = std::move(host.waiting.front());
            host.waiting.pop_front();
            --waiting_;
            ++host.running;
            ++running_;
            lastServed_ = candidate->first;
            return news;
        }
    }
    return std::nullopt;
}

void CommandQueue::ended(std::string_view sender)
{
    const auto found = hosts_.find(hostOf(sender));
    if (found == hosts_.end() || found->second.running == 0) {
        return;
    }
    --found->second.running;
    --running_;
    if (found->second.running == 0 && found->second.waiting.empty()) {
        hosts_.erase(found);
    }
}

std::uint64_t CommandQueue::dropWaiting()
{
    const std::uint64_t dropped = waiting_;
    for (auto host = hosts_.begin(); host != hosts_.end();) {
        host->second.waiting.clear();
        host = host->second.running == 0 ? hosts_.erase(host) : std::next(host);
    }
    waiting_ = 0;
    return dropped;
}

std::vector<CommandQueue::Skipped> CommandQueue::takeSkipped()
{
    std::vector<Skipped> taken;
    for (auto& [host, count] : skipped_) {
        taken.push_back({host, count, 1});
    }
    if (otherSkipped_.commands != 0) {
        otherSkipped_.hosts = otherHosts_.size();
        taken.push_back(otherSkipped_);
    }
    skipped_.clear();
    otherSkipped_ = {{}, 0, 0};
    otherHosts_.clear();
    return taken;
}

}  // namespace collector
