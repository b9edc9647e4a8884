// The scheduling of a run's probes. A job's probes run on one of a few
// worker threads with small stacks: the probes are plain blocking code
// whose every wait is bounded, so threads give concurrency without
// rewriting them as an event loop. Jobs settled by their form are done on
// the calling thread before any other is handed over.
#include "scheduler.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "sanitizers.h"
#include "stop.h"
#include "store.h"
#include "wait.h"

namespace {

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
    bool finished = false;  // its probes are done
    bool expired = false;   // it ran past its time and counts as failed
    bool handed = false;    // its result went to the caller
    ProbeDone done;
};

// The calling thread waits on this pipe; a worker with news for it, and a
// stop signal's handler, write a byte. Made once and never closed, so a
// handler never writes to a descriptor that has since been reused.
int wake_fds[2] = {-1, -1};
std::once_flag wake_once;

void wake_caller() {
    if (wake_fds[1] < 0) return;
    const char byte = 0;
    (void)!write(wake_fds[1], &byte, 1);  // a full pipe wakes it as well
}

// Waits up to `limit` for a wake-up, and takes every one that came.
void wait_for_wake(std::chrono::milliseconds limit) {
    if (wake_fds[0] < 0) {
        std::this_thread::sleep_for(limit);
        return;
    }
    pollfd p{wake_fds[0], POLLIN, 0};
    (void)poll(&p, 1, static_cast<int>(limit.count()));
    char drain[64];
    while (read(wake_fds[0], drain, sizeof drain) > 0) {
    }
}

// The state of a pass, shared by the calling thread and the workers under
// `mu`. A worker that finishes a job starts the next ones itself, so the
// calling thread wakes only to hand results over: once a second, and when
// nothing runs any more.
struct Pass {
    std::mutex mu;
    std::condition_variable work;  // workers wait here for jobs
    std::vector<Slot> slots;
    std::vector<std::size_t> ended;  // jobs ended and not handed over yet
    int limit = MAX_PROBES;
    std::size_t stop_at = 0;  // no job after this one is started
    std::set<std::size_t> running;
    std::map<std::string, int> per_host;
    // Per host, its network jobs not started yet, in file order; `ready`
    // holds the first of each host that may start one more.
    std::map<std::string, std::deque<std::size_t>> waiting;
    std::set<std::size_t> ready;
    // Jobs handed to the workers and not yet taken; the workers, how many
    // of them wait for work, and whether the pass is over.
    std::deque<std::size_t> assigned;
    std::vector<pthread_t> workers;
    int idle = 0;
    bool closing = false;
    std::size_t next = 0;  // the first job not handed over
    int no_thread = 0;     // why not even one worker could be started
};

// Makes the first waiting job of `host` ready when the host has room.
void refill(Pass& pass, const std::string& host) {
    const auto& q = pass.waiting[host];
    if (!q.empty() && pass.per_host[host] < MAX_PROBES_PER_HOST) pass.ready.insert(q.front());
}

// Nothing runs and nothing may start: every job up to stop_at is settled.
bool settled(const Pass& pass) {
    return pass.running.empty() && (pass.ready.empty() || *pass.ready.begin() > pass.stop_at);
}

// A refusal's turn has come: every job up to it is done, so the pass ends
// there, and the probes still running are thrown away.
bool refusal_due(const Pass& pass) {
    if (pass.stop_at >= pass.slots.size()) return false;
    for (std::size_t i = pass.next; i <= pass.stop_at; ++i) {
        const Slot& s = pass.slots[i];
        if (s.network && !s.expired && !s.finished) return false;
    }
    return true;
}

void* worker(void* arg);

// Who asks for jobs to be started: the pass, or a worker that takes a job
// itself afterwards and so counts as one more free worker.
enum class Caller { PASS, WORKER };

// Hands job `index` to a worker, starting one when none is free. False
// when no worker can be had.
bool assign(Pass& pass, std::size_t index, Caller caller) {
    const int spare = caller == Caller::WORKER ? 1 : 0;
    if (pass.idle + spare <= static_cast<int>(pass.assigned.size())) {
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
        if (rc != 0 && pass.workers.empty()) {  // none at all; a calling worker counts
            pass.no_thread = rc;
            return false;
        }
        if (rc == 0) pass.workers.push_back(t);
    }
    pass.assigned.push_back(index);
    if (static_cast<int>(pass.assigned.size()) > spare) pass.work.notify_one();
    return true;
}

Clock::time_point job_deadline(const ProbeJob& job) {
    return Clock::now() + std::chrono::seconds(JOB_TIME_FACTOR * probe_timeout(job.retries));
}

// Starts what the limits allow, in file order.
void start_jobs(Pass& pass, Caller caller) {
    while (!pass.closing && !stop_requested() && pass.no_thread == 0 &&
           static_cast<int>(pass.running.size()) < pass.limit && !pass.ready.empty() &&
           *pass.ready.begin() <= pass.stop_at) {
        const std::size_t i = *pass.ready.begin();
        Slot& s = pass.slots[i];
        s.deadline = job_deadline(*s.job);
        if (!assign(pass, i, caller)) return;  // no thread at all: the caller probes
        pass.ready.erase(pass.ready.begin());
        pass.waiting[s.host].pop_front();
        pass.running.insert(i);
        ++pass.per_host[s.host];
        refill(pass, s.host);
    }
}

// A job's probes on the calling thread, within the job's time: the result,
// or null when it ran out of time.
std::shared_ptr<UrlParts> probe_in_time(const ProbeJob& job, Clock::time_point deadline,
                                        ProbeTrace& trace) {
    auto result = url_parser(job.url, job.retries, &trace, deadline);
    // A probe whose waits were cut by the job's time ran out of time,
    // whatever its cut-short reply seemed to say.
    return trace.cut ? nullptr : result;
}

void* worker(void* arg) {
    Pass& pass = *static_cast<Pass*>(arg);
    std::unique_lock<std::mutex> lock(pass.mu);
    for (;;) {
        ++pass.idle;
        pass.work.wait(lock, [&] { return !pass.assigned.empty() || pass.closing; });
        --pass.idle;
        if (pass.closing) return nullptr;
        while (!pass.assigned.empty()) {
            const std::size_t i = pass.assigned.front();
            pass.assigned.pop_front();
            Slot& slot = pass.slots[i];
            lock.unlock();
            // The job's fields are written before it is assigned, read-only since.
            ProbeDone done;
            done.result = probe_in_time(*slot.job, slot.deadline, done.trace);
            lock.lock();
            // A probe the stop called off has no result: its job stays as
            // if never started.
            const bool called_off = done.result == nullptr && stop_requested();
            if (done.result == nullptr) slot.expired = true;
            slot.done = std::move(done);
            slot.finished = true;
            if (!called_off) pass.ended.push_back(i);
            pass.running.erase(i);
            --pass.per_host[slot.host];
            refill(pass, slot.host);
            // A refusal ends the pass only for a job that still counts.
            if (!slot.expired && slot.done.result->outcome == OUTCOME_LOGIN_REFUSED)
                pass.stop_at = std::min(pass.stop_at, i);
            start_jobs(pass, Caller::WORKER);
            if (settled(pass) || refusal_due(pass)) wake_caller();
        }
    }
}

// Every job in turn on the calling thread: what a pass does when no worker
// thread can be had (the router's process limit reached, say).
void probe_one_at_a_time(const std::vector<ProbeJob>& jobs, int why,
                         const std::function<bool(std::size_t, ProbeDone&)>& settle,
                         const std::function<bool()>& tick) {
    std::fprintf(stderr,
                 "no thread could be started for probing (%s); jobs are probed one at a time\n",
                 std::strerror(why));
    for (std::size_t i = 0; i < jobs.size() && !stop_requested(); ++i) {
        ProbeDone done;
        done.result = probe_job(jobs[i], done.trace);
        if (done.result == nullptr && stop_requested()) return;  // called off: no result
        if (!settle(i, done) || !tick()) return;
    }
}

// Hands over, in the order they ended, the jobs that ended and are still
// wanted; `mu` is held, and let go while the caller takes each.
void hand_over(Pass& pass, std::unique_lock<std::mutex>& lock,
               const std::function<bool(std::size_t, ProbeDone&)>& settle) {
    std::vector<std::size_t> ended;
    ended.swap(pass.ended);
    for (const std::size_t i : ended) {
        Slot& s = pass.slots[i];
        if (i > pass.stop_at) continue;  // after a refusal: as if never started
        ProbeDone done;
        if (!s.expired) done = std::move(s.done);  // else out of time: no result
        s.handed = true;
        lock.unlock();
        const bool go_on = settle(i, done);
        lock.lock();
        if (!go_on) pass.stop_at = std::min(pass.stop_at, i);
    }
    while (pass.next < pass.slots.size() && pass.slots[pass.next].handed)
        ++pass.next;
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

std::shared_ptr<UrlParts> probe_job(const ProbeJob& job, ProbeTrace& trace) {
    if (!url_target(job.url).network) return url_parser(job.url, job.retries, &trace);
    return probe_in_time(job, job_deadline(job), trace);
}

void probe_jobs(const std::vector<ProbeJob>& jobs, int limit,
                const std::function<bool(std::size_t, ProbeDone&)>& settle,
                const std::function<bool()>& tick) {
    std::call_once(wake_once, [] {
        if (pipe2(wake_fds, O_CLOEXEC | O_NONBLOCK) != 0) wake_fds[0] = wake_fds[1] = -1;
    });
    // Workers keep a pointer to it: after a stop it outlives the call.
    auto owned = std::make_unique<Pass>();
    Pass& pass = *owned;
    pass.slots.resize(jobs.size());
    pass.limit = limit;
    pass.stop_at = jobs.size();
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        Slot& s = pass.slots[i];
        s.job = &jobs[i];
        ProbeTarget target = url_target(jobs[i].url);
        s.network = target.network;
        s.host = std::move(target.host);
        if (s.network) pass.waiting[s.host].push_back(i);
    }
    for (const auto& [host, queue] : pass.waiting)
        pass.ready.insert(queue.front());
    for (Slot& s : pass.slots) {
        if (!s.network) s.done.result = url_parser(s.job->url, s.job->retries, &s.done.trace);
    }

    stop_watch_begin(wake_fds[1]);
    std::unique_lock<std::mutex> lock(pass.mu);
    start_jobs(pass, Caller::PASS);
    if (pass.no_thread != 0) {
        lock.unlock();
        probe_one_at_a_time(jobs, pass.no_thread, settle, tick);
        stop_watch_end();
        return;
    }
    // Jobs settled by their form need no probe: theirs come first.
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (!pass.slots[i].network) pass.ended.push_back(i);
    }
    for (;;) {
        hand_over(pass, lock, settle);
        if (pass.next >= jobs.size() || pass.next > pass.stop_at || stop_requested()) break;
        lock.unlock();
        const bool go_on = tick();
        if (go_on) wait_for_wake(std::chrono::seconds(1));
        lock.lock();
        if (!go_on) break;
    }
    // What ended while the last results were taken (a stop during a write
    // included) is taken too.
    hand_over(pass, lock, settle);
    stop_watch_end();
    pass.closing = true;
    pass.assigned.clear();
    pass.work.notify_all();
    if (stop_requested()) {
        // The probes still running were called off; one stuck in a call
        // that never returns must not keep the results from being written
        // before the watchdog ends the run. The workers are left to it.
        (void)owned.release();
        return;
    }
    // Every wait of a probe ends by its job's deadline, so the workers
    // still probing end soon; none may outlive the pass. After a refusal
    // their results are not wanted: their waits end at once, so the lock
    // is not held for them.
    const bool cut_short = !pass.running.empty();
    if (cut_short) call_off_waits();
    const std::vector<pthread_t> workers = pass.workers;
    lock.unlock();
    for (const pthread_t t : workers)
        pthread_join(t, nullptr);
    if (cut_short) resume_waits();
}
