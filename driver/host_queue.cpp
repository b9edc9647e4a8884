#include "host_queue.h"

#include "scheduler.h"

void HostQueue::add(std::size_t job, const std::string& host) {
    if (host_of_.size() <= job) host_of_.resize(job + 1);
    Host& h = hosts_[host];
    host_of_[job] = &h;
    h.waiting.push_back(job);
    refill(h);
}

std::optional<std::size_t> HostQueue::next(int limit, std::size_t stop_at) const {
    if (running_ >= limit || ready_.empty() || *ready_.begin() > stop_at) return std::nullopt;
    return *ready_.begin();
}

void HostQueue::started(std::size_t job) {
    Host& h = *host_of_[job];
    ready_.erase(job);
    h.waiting.pop_front();
    ++running_;
    ++h.running;
    refill(h);
}

void HostQueue::ended(std::size_t job) {
    Host& h = *host_of_[job];
    --running_;
    --h.running;
    refill(h);
}

bool HostQueue::idle(std::size_t stop_at) const {
    return running_ == 0 && (ready_.empty() || *ready_.begin() > stop_at);
}

void HostQueue::refill(const Host& host) {
    if (!host.waiting.empty() && host.running < MAX_PROBES_PER_HOST)
        ready_.insert(host.waiting.front());
}
