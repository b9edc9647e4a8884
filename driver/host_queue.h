// Which of a pass's network jobs starts next: in file order, at most a
// limit at once and MAX_PROBES_PER_HOST on one host name, and none after a
// refused login's job.
#pragma once

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

class HostQueue {
  public:
    HostQueue() = default;
    HostQueue(const HostQueue&) = delete;  // host_of_ points into hosts_
    HostQueue& operator=(const HostQueue&) = delete;

    /// Job `job` on `host` joins, in file order, before the pass starts.
    void add(std::size_t job, const std::string& host);
    /// The next job that may start, with `limit` probes at once and none
    /// after `stop_at`; none when the limits allow none.
    std::optional<std::size_t> next(int limit, std::size_t stop_at) const;
    /// The job next() gave starts, or one that ran has ended.
    void started(std::size_t job);
    void ended(std::size_t job);
    /// Nothing runs and nothing may start up to `stop_at`.
    bool idle(std::size_t stop_at) const;
    /// Some job runs.
    bool any_running() const { return running_ > 0; }

  private:
    struct Host {
        std::deque<std::size_t> waiting;  // not started yet
        int running = 0;
    };
    // A host's first waiting job is ready when the host has room.
    void refill(const Host& host);

    std::map<std::string, Host> hosts_;
    std::vector<Host*> host_of_;   // by job; a map's elements stay put
    std::set<std::size_t> ready_;  // the first of each host with room
    int running_ = 0;
};
