#include "host_queue.h"

#include "scheduler.h"

void HostQueue::add(std::size_t job, const std::string& host) {
    host_of_[job] = host;
    waiting_[host].push_back(job);
    refill(host);
}

std::optional<std::size_t> HostQueue::next(int limit, std::size_t stop_at) const {
    if (static_cast<int>(running_.size()) >= limit || ready_.empty() || *ready_.begin() > stop_at)
        return std::nullopt;
    return *ready_.begin();
}

void HostQueue::started(std::size_t job) {
    const std::string& host = host_of_[job];
    ready_.erase(job);
    waiting_[host].pop_front();
    running_.insert(job);
    ++per_host_[host];
    refill(host);
}

void HostQueue::ended(std::size_t job) {
    const std::string& host = host_of_[job];
    running_.erase(job);
    --per_host_[host];
    refill(host);
}

bool HostQueue::idle(std::size_t stop_at) const {
    return running_.empty() && (ready_.empty() || *ready_.begin() > stop_at);
}

void HostQueue::refill(const std::string& host) {
    const auto& q = waiting_[host];
    if (!q.empty() && per_host_[host] < MAX_PROBES_PER_HOST) ready_.insert(q.front());
}
