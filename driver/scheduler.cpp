// The scheduling of a run's probes. A job's probes run on one of a few
// worker threads with small stacks: the probes are plain blocking code
// whose every wait is bounded, so threads give concurrency without
// rewriting them as an event loop. Jobs settled by their form are done on
// the calling thread before any other is handed over.
#include "scheduler.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>

#include "host_queue.h"
#include "sanitizers.h"
#include "stop.h"
#include "signals.h"
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

// One job of the pass. `job` and `network` are set before the workers
// start and read-only after; `target` and `deadline` are set under the
// pass's `mu` before the job is handed to a worker, which alone takes them
// then; the rest is guarded by `mu` (a worker fills `done` while it does
// not hold `mu`, but in a ProbeDone of its own, moved in under `mu`).
struct Slot {
    const ProbeJob* job = nullptr;
    bool network = false;  // false: settled by its form
    ProbeTarget target;    // its URL, parsed once
    Clock::time_point deadline;
    bool finished = false;  // its probes are done
    bool expired = false;   // it ran past its time and counts as failed
    bool handed = false;    // its result went to the caller
    ProbeDone done;
};

// The worker threads and the jobs handed to them. Guarded by the pass's
// `mu`.
struct WorkerPool {
    std::condition_variable work;      // workers wait here for jobs
    std::deque<std::size_t> assigned;  // handed to the workers and not yet taken
    std::vector<pthread_t> threads;
    int idle = 0;          // workers waiting for work
    bool closing = false;  // the pass is over: workers return
    int no_thread = 0;     // why not even one could be started (0: they could)
};

// The state of a pass, shared by the calling thread and the workers. `mu`
// guards every field but `limit`, which is set before the workers start. A
// worker that finishes a job starts the next ones itself, so the calling
// thread wakes only to hand results over: about once a second, and when
// nothing runs any more. Without any worker (no_thread), the calling
// thread probes the jobs itself in file order and none of this is used but
// the slots.
struct Pass {
    std::mutex mu;
    int limit = MAX_PROBES;
    std::vector<Slot> slots;
    HostQueue hosts;
    WorkerPool pool;
    std::vector<std::size_t> ended;  // jobs ended and not handed over yet
    std::size_t stop_at = 0;         // no job after this one is started
    std::size_t next = 0;            // the first job not handed over
};

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

// A new worker thread, with the run's stop signals held off: they go to
// the main thread only, which holds them off while it writes over the
// queue's records. A fault stays with the thread that caused it. The
// pthread_create result.
int start_worker(Pass& pass, pthread_t& t) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, STACK_SIZE);
    sigset_t blocked = stop_signals();
    for (int sig = 1; sig < NSIG; ++sig)
        if (is_fault_signal(sig)) sigdelset(&blocked, sig);
    sigset_t saved;
    pthread_sigmask(SIG_BLOCK, &blocked, &saved);
    const int rc = pthread_create(&t, &attr, worker, &pass);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    pthread_attr_destroy(&attr);
    return rc;
}

// Hands job `index` to a worker, starting one when none is free. False
// when no worker can be had.
bool assign(Pass& pass, std::size_t index, Caller caller) {
    WorkerPool& pool = pass.pool;
    const int spare = caller == Caller::WORKER ? 1 : 0;
    if (pool.idle + spare <= static_cast<int>(pool.assigned.size())) {
        pthread_t t;
        const int rc = start_worker(pass, t);
        if (rc != 0 && pool.threads.empty()) {  // none at all; a calling worker counts
            pool.no_thread = rc;
            return false;
        }
        if (rc == 0) pool.threads.push_back(t);
    }
    pool.assigned.push_back(index);
    if (static_cast<int>(pool.assigned.size()) > spare) pool.work.notify_one();
    return true;
}

Clock::time_point job_deadline(const ProbeJob& job) {
    return Clock::now() + std::chrono::seconds(JOB_TIME_FACTOR * probe_timeout(job.retries));
}

// Starts what the limits allow, in file order.
void start_jobs(Pass& pass, Caller caller) {
    while (!pass.pool.closing && pass.pool.no_thread == 0) {
        const auto i = pass.hosts.next(pass.limit, pass.stop_at);
        if (!i) return;
        pass.slots[*i].deadline = job_deadline(*pass.slots[*i].job);
        if (!assign(pass, *i, caller)) return;  // no thread at all: the caller probes
        pass.hosts.started(*i);
    }
}

// A job's probes on the calling thread, within the job's time: the result,
// or null when it ran out of time.
std::shared_ptr<UrlParts> probe_in_time(ProbeTarget target, int retries, Clock::time_point deadline,
                                        ProbeTrace& trace) {
    auto result = url_parser(std::move(target), retries, &trace, deadline);
    // A probe whose waits were cut by the job's time ran out of time,
    // whatever its cut-short reply seemed to say.
    return trace.cut ? nullptr : result;
}

// Job `i` ended with `done`; `mu` is held.
void job_ended(Pass& pass, std::size_t i, ProbeDone done) {
    Slot& slot = pass.slots[i];
    // A probe the stop called off has no result: its job stays as if
    // never started.
    const bool called_off = done.result == nullptr && stop_requested();
    if (done.result == nullptr) slot.expired = true;
    slot.done = std::move(done);
    slot.finished = true;
    if (!called_off) pass.ended.push_back(i);
    pass.hosts.ended(i);
    // A refusal ends the pass only for a job that still counts.
    if (!slot.expired && slot.done.result->outcome == OUTCOME_LOGIN_REFUSED)
        pass.stop_at = std::min(pass.stop_at, i);
    start_jobs(pass, Caller::WORKER);
    if (pass.hosts.idle(pass.stop_at) || refusal_due(pass)) wake_pass();
}

void* worker(void* arg) {
    Pass& pass = *static_cast<Pass*>(arg);
    WorkerPool& pool = pass.pool;
    std::unique_lock<std::mutex> lock(pass.mu);
    for (;;) {
        ++pool.idle;
        pool.work.wait(lock, [&] { return !pool.assigned.empty() || pool.closing; });
        --pool.idle;
        if (pool.closing) return nullptr;
        while (!pool.assigned.empty()) {
            const std::size_t i = pool.assigned.front();
            pool.assigned.pop_front();
            Slot& slot = pass.slots[i];
            ProbeTarget target = std::move(slot.target);
            lock.unlock();
            ProbeDone done;
            done.result =
                probe_in_time(std::move(target), slot.job->retries, slot.deadline, done.trace);
            lock.lock();
            job_ended(pass, i, std::move(done));
        }
    }
}

// Every job in turn on the calling thread, in file order: what a pass does
// when no worker thread can be had (the router's process limit reached,
// say). Jobs settled by their form already are.
void probe_one_at_a_time(Pass& pass, const std::function<bool(std::size_t, ProbeDone&)>& settle,
                         const std::function<void()>& tick) {
    std::fprintf(stderr,
                 "no thread could be started for probing (%s); jobs are probed one at a time\n",
                 std::strerror(pass.pool.no_thread));
    for (std::size_t i = 0; i < pass.slots.size(); ++i) {
        Slot& s = pass.slots[i];
        if (s.network) {
            // After a stop the waits are called off: a probe ends at once.
            s.done.result = probe_in_time(std::move(s.target), s.job->retries, job_deadline(*s.job),
                                          s.done.trace);
            if (s.done.result == nullptr && stop_requested()) return;  // no result
        }
        if (!settle(i, s.done)) return;
        tick();
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

// The pass's slots for `jobs`, those settled by their form done.
void set_up(Pass& pass, const std::vector<ProbeJob>& jobs, int limit) {
    pass.slots.resize(jobs.size());
    pass.limit = limit;
    pass.stop_at = jobs.size();
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        Slot& s = pass.slots[i];
        s.job = &jobs[i];
        s.target = url_target(jobs[i].url);
        s.network = s.target.network;
        if (s.network) pass.hosts.add(i, s.target.host);
    }
    for (Slot& s : pass.slots) {
        if (!s.network)
            s.done.result = url_parser(std::move(s.target), s.job->retries, &s.done.trace);
    }
}

// Hands results over until every job is, a refusal's turn has come, or a
// stop (true); `mu` is held.
bool run_pass(Pass& pass, std::unique_lock<std::mutex>& lock,
              const std::function<bool(std::size_t, ProbeDone&)>& settle,
              const std::function<void()>& tick) {
    // Jobs settled by their form need no probe: theirs come first.
    for (std::size_t i = 0; i < pass.slots.size(); ++i) {
        if (!pass.slots[i].network) pass.ended.push_back(i);
    }
    bool stopped = false;
    for (;;) {
        hand_over(pass, lock, settle);
        if (pass.next >= pass.slots.size() || pass.next > pass.stop_at) break;
        if (stop_requested()) {
            pass.pool.closing = true;  // no worker starts another job
            stopped = true;
            break;
        }
        lock.unlock();
        tick();
        wait_for_wake(std::chrono::seconds(1));  // a stop wakes it at once
        lock.lock();
    }
    // What ended while the last results were taken (a stop during a write
    // included) is taken too.
    hand_over(pass, lock, settle);
    return stopped;
}

// Ends the workers: every wait of a probe ends by its job's deadline, so
// the workers still probing end soon; none may outlive the pass. After a
// refusal their results are not wanted: their waits end at once, so the
// lock is not held for them. `mu` is held, and let go.
void close_pool(Pass& pass, std::unique_lock<std::mutex>& lock) {
    pass.pool.closing = true;
    pass.pool.assigned.clear();
    pass.pool.work.notify_all();
    const bool cut_short = pass.hosts.any_running();
    if (cut_short) call_off_waits();
    const std::vector<pthread_t> threads = pass.pool.threads;
    lock.unlock();
    for (const pthread_t t : threads)
        pthread_join(t, nullptr);
    if (cut_short) resume_waits();
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
    ProbeTarget target = url_target(job.url);
    if (!target.network) return url_parser(std::move(target), job.retries, &trace);
    return probe_in_time(std::move(target), job.retries, job_deadline(job), trace);
}

void probe_jobs(const std::vector<ProbeJob>& jobs, int limit,
                const std::function<bool(std::size_t, ProbeDone&)>& settle,
                const std::function<void()>& tick) {
    // Workers keep a pointer to it: after a stop it outlives the call.
    auto owned = std::make_unique<Pass>();
    Pass& pass = *owned;
    set_up(pass, jobs, limit);
    stop_watch_begin();
    std::unique_lock<std::mutex> lock(pass.mu);
    start_jobs(pass, Caller::PASS);
    if (pass.pool.no_thread != 0) {
        lock.unlock();
        probe_one_at_a_time(pass, settle, tick);
        stop_watch_end();
        return;
    }
    const bool stopped = run_pass(pass, lock, settle, tick);
    stop_watch_end();
    if (stopped) {
        // The probes still running were called off; one stuck in a call
        // that never returns must not keep the results from being written
        // before the watchdog ends the run. The workers are left to it.
        pass.pool.closing = true;
        pass.pool.work.notify_all();
        (void)owned.release();
        return;
    }
    close_pool(pass, lock);
}
