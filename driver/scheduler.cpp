// The scheduling of a run's probes. A job's probes run on one of a few
// worker threads with small stacks: the probes are plain blocking code
// whose every wait is bounded, so threads give concurrency without
// rewriting them as an event loop. Jobs settled by their form are done on
// the calling thread when their turn to be handed over comes.
#include "scheduler.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "store.h"
#include "wait.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
#define QV2_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QV2_SANITIZED 1
#endif
#endif

// Ample for a probe (TLS included); only the pages touched count against a
// router's memory. The sanitizers need far more.
#ifdef QV2_SANITIZED
constexpr std::size_t STACK_SIZE = std::size_t{8} << 20;
#else
constexpr std::size_t STACK_SIZE = std::size_t{256} << 10;
#endif

struct Slot {
    const ProbeJob* job = nullptr;
    bool network = false;  // false: settled by its form
    std::string host;
    Clock::time_point deadline;
    bool started = false;
    bool finished = false;  // its probes are done
    bool expired = false;   // it ran past its time and counts as failed
    ProbeDone done;
};

struct Pass {
    std::mutex mu;
    std::condition_variable changed;
    std::vector<Slot> slots;
    std::size_t stop_at = 0;  // no job after this one is started
    std::set<std::size_t> running;
    std::map<std::string, int> per_host;
    unsigned finishes = 0;  // jobs whose probes are done so far
    // Jobs handed to the workers and not yet taken; the workers, how many
    // of them wait for work, and whether the pass is over.
    std::deque<std::size_t> assigned;
    std::vector<pthread_t> workers;
    int idle = 0;
    bool closing = false;
};

void* worker(void* arg) {
    Pass& pass = *static_cast<Pass*>(arg);
    std::unique_lock<std::mutex> lock(pass.mu);
    for (;;) {
        ++pass.idle;
        pass.changed.wait(lock, [&] { return !pass.assigned.empty() || pass.closing; });
        --pass.idle;
        if (pass.assigned.empty()) return nullptr;
        const std::size_t i = pass.assigned.front();
        pass.assigned.pop_front();
        Slot& slot = pass.slots[i];
        lock.unlock();
        // The job's fields are written before it is assigned, read-only since.
        set_thread_time_limit(slot.deadline);
        ProbeDone done;
        done.result = url_parser(slot.job->url, slot.job->retries, &done.trace);
        lock.lock();
        // A probe whose waits were cut by the job's deadline may return
        // before the pass sees the deadline pass; it ran out of time all
        // the same, whatever its cut-short reply seemed to say.
        if (Clock::now() >= slot.deadline) slot.expired = true;
        slot.done = std::move(done);
        slot.finished = true;
        pass.running.erase(i);
        --pass.per_host[slot.host];
        ++pass.finishes;
        // A refusal ends the pass only for a job that still counts.
        if (!slot.expired && slot.done.result->outcome == OUTCOME_LOGIN_REFUSED)
            pass.stop_at = std::min(pass.stop_at, i);
        pass.changed.notify_all();
    }
}

// Hands job `index` to a worker, starting one when none is idle. False when
// no worker can be had.
bool assign(Pass& pass, std::size_t index) {
    if (pass.idle <= static_cast<int>(pass.assigned.size())) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, STACK_SIZE);
        // The run's stop signals go to the main thread only, which holds
        // them off while it rewrites the queue. A fault stays with the
        // thread that caused it.
        sigset_t blocked = stop_signals();
        for (int sig = 1; sig < NSIG; ++sig)
            if (is_fault_signal(sig)) sigdelset(&blocked, sig);
        sigset_t saved;
        pthread_sigmask(SIG_BLOCK, &blocked, &saved);
        pthread_t t;
        const int rc = pthread_create(&t, &attr, worker, &pass);
        pthread_sigmask(SIG_SETMASK, &saved, nullptr);
        pthread_attr_destroy(&attr);
        if (rc != 0 && pass.workers.empty()) return false;
        if (rc == 0) pass.workers.push_back(t);
    }
    pass.assigned.push_back(index);
    pass.changed.notify_all();
    return true;
}

}  // namespace

int probe_limit() {
    const char* v = std::getenv(PROBES_ENV);
    if (v == nullptr) return MAX_PROBES;
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(v, &end, 10);
    if (errno != 0 || end == v || *end != '\0' || n < 1 || n > MAX_PROBES) return MAX_PROBES;
    return static_cast<int>(n);
}

void probe_jobs(const std::vector<ProbeJob>& jobs, int limit,
                const std::function<bool(std::size_t, ProbeDone&)>& commit,
                const std::function<void()>& tick) {
    Pass pass;
    pass.slots.resize(jobs.size());
    pass.stop_at = jobs.size();
    // Per host, its waiting network jobs in file order; `ready` holds the
    // first of each host that may start one more.
    std::map<std::string, std::deque<std::size_t>> waiting;
    std::set<std::size_t> ready;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        Slot& s = pass.slots[i];
        s.job = &jobs[i];
        ProbeTarget target = url_target(jobs[i].url);
        s.network = target.network;
        s.host = std::move(target.host);
        if (s.network) waiting[s.host].push_back(i);
    }
    for (const auto& [host, queue] : waiting)
        ready.insert(queue.front());
    auto refill = [&](const std::string& host) {
        auto& q = waiting[host];
        if (!q.empty() && pass.per_host[host] < MAX_PROBES_PER_HOST) ready.insert(q.front());
    };

    std::unique_lock<std::mutex> lock(pass.mu);
    std::size_t next = 0;  // the next job to hand over
    while (next < jobs.size() && next <= pass.stop_at) {
        // A job finishing from here on ends the wait below at once.
        const unsigned finishes = pass.finishes;
        // Start what the limits allow, in file order.
        for (const auto& [host, count] : pass.per_host)
            refill(host);
        while (static_cast<int>(pass.running.size()) < limit && !ready.empty() &&
               *ready.begin() <= pass.stop_at) {
            const std::size_t i = *ready.begin();
            ready.erase(ready.begin());
            Slot& s = pass.slots[i];
            if (pass.per_host[s.host] >= MAX_PROBES_PER_HOST) continue;  // full meanwhile
            waiting[s.host].pop_front();
            s.deadline = Clock::now() +
                         std::chrono::seconds(JOB_TIME_FACTOR * probe_timeout(s.job->retries));
            s.started = assign(pass, i);
            if (!s.started) {  // no thread to be had: counts as failed now
                s.expired = true;
                continue;
            }
            pass.running.insert(i);
            ++pass.per_host[s.host];
            refill(s.host);
        }
        // Hand over, in file order, whatever is done.
        while (next < jobs.size() && next <= pass.stop_at) {
            Slot& s = pass.slots[next];
            ProbeDone done;
            if (!s.network) {
                done.result = url_parser(s.job->url, s.job->retries, &done.trace);
            } else if (s.expired) {
                // done.result stays null: the probes ran out of time
            } else if (s.finished) {
                done = std::move(s.done);
            } else {
                break;
            }
            lock.unlock();
            const bool go_on = commit(next, done);
            lock.lock();
            if (!go_on) pass.stop_at = std::min(pass.stop_at, next);
            ++next;
        }
        if (next >= jobs.size() || next > pass.stop_at) break;
        lock.unlock();
        tick();
        lock.lock();
        // Wake for a finished job, a job's time running out, or the tick.
        auto wake = Clock::now() + std::chrono::seconds(1);
        const auto now = Clock::now();
        for (const std::size_t i : pass.running) {
            Slot& s = pass.slots[i];
            if (s.expired) continue;
            if (s.deadline <= now) {
                s.expired = true;  // its thread ends soon: every wait honours the deadline
                wake = now;
            } else {
                wake = std::min(wake, s.deadline);
            }
        }
        pass.changed.wait_until(lock, wake, [&] { return pass.finishes != finishes; });
    }
    // Every wait of a probe ends by its job's deadline, so the workers
    // still probing end soon; none may outlive the pass.
    pass.closing = true;
    pass.assigned.clear();
    pass.changed.notify_all();
    lock.unlock();
    for (const pthread_t t : pass.workers)
        pthread_join(t, nullptr);
}
