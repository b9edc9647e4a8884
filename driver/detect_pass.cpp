// The detection pass: probe every waiting job once and write back what it
// turned out to be. The order of a run is here; the scheduling of the
// probes is in scheduler.cpp.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "driver.h"
#include "probe.h"
#include "scheduler.h"
#include "store.h"
#include "wait.h"

namespace {

// Results are gathered in the job list and written about once a second
// (and once at the end): a kill loses no more than the last moments of a
// run, which the next run probes again. A large queue is written less
// often, and what a run writes before its last rewrite stays within twice
// the queue plus REWRITE_SPARE, however long it lasts: a router's flash
// wears with every byte.
constexpr auto REWRITE_EVERY = std::chrono::seconds(1);
constexpr double REWRITE_BYTES_PER_SECOND = 256.0 * 1024;
constexpr std::size_t REWRITE_SPARE = std::size_t{1} << 20;

// When the results gathered are written.
class RewritePace {
  public:
    explicit RewritePace(std::size_t queue_bytes)
        : bytes_(queue_bytes),
          budget_(2 * queue_bytes + REWRITE_SPARE),
          every_(std::max<Clock::duration>(
              REWRITE_EVERY,
              std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                  static_cast<double>(queue_bytes) / REWRITE_BYTES_PER_SECOND)))) {}
    bool due() const { return Clock::now() - last_ >= every_ && spent_ + bytes_ <= budget_; }
    void written() {
        spent_ += bytes_;
        last_ = Clock::now();
    }

  private:
    std::size_t bytes_, budget_, spent_ = 0;
    Clock::duration every_;
    Clock::time_point last_ = Clock::now();
};

// A waiting job as the file held it when the pass began, and its node: the
// result goes into the very job probed, never into another with its URL.
struct WaitingJob {
    LogNote* node;
    std::int32_t id;
    std::string url;
    std::int32_t retries;
};

// Type code and status for a probe's final record; go_on false when the
// pass must end after this job (a refused login).
struct Verdict {
    const char* type;
    std::int32_t status;
    std::int32_t retries;
    bool go_on;
};

Verdict failed(std::int32_t retries) {
    return {TYPE_UNDETERMINED, STATUS_WAITING, retries < 3 ? retries + 1 : retries, true};
}

Verdict classify(const UrlParts& p, std::int32_t retries) {
    if (p.outcome == OUTCOME_REACHABLE) {
        switch (p.kind) {
            case KIND_HTTP:
                return {TYPE_HTTP, STATUS_DETECTED, retries, true};
            case KIND_FTP:
                return {TYPE_FTP, STATUS_DETECTED, retries, true};
            case KIND_TORRENT:
                return {TYPE_TORRENT, STATUS_DETECTED, retries, true};
            case KIND_NZB:
                return {TYPE_NZB, STATUS_DETECTED, retries, true};
            case KIND_ED2K:
                return {TYPE_ED2K, STATUS_DETECTED, retries, true};
            default:
                return {TYPE_UNDETERMINED, STATUS_WAITING, retries, true};
        }
    }
    if (p.outcome == OUTCOME_LOGIN_REFUSED) return {TYPE_FTP, STATUS_LOGIN_REFUSED, retries, false};
    return failed(retries);
}

// The URL a job is written back with: the last of its chain that fits the
// record (the one that redirected to an over-long target, the job's own URL
// as probed), else the URL as stored. None when not even that fits: a cut
// URL is never written.
std::optional<std::string> fitting_url(const WaitingJob& job, const ProbeTrace& trace) {
    for (auto it = trace.trail.rbegin(); it != trace.trail.rend(); ++it) {
        if (it->size() < LN_RESOLVED_URL_LEN) return *it;
    }
    if (job.url.size() < LN_RESOLVED_URL_LEN) return job.url;
    return std::nullopt;
}

// Writes what a job's probes said, whole, as a one-at-a-time pass prints
// it; a note meant once per run only the first time.
void write_said(const ProbeTrace& trace, std::set<std::string>& once) {
    for (const ReportPiece& p : trace.said) {
        if (p.once_per_run && !once.insert(p.text).second) continue;
        std::fwrite(p.text.data(), 1, p.text.size(), stderr);
    }
}

}  // namespace

int initlognote3() {
    // One hold of the queue lock spans the load and the pass, so the list
    // the pass writes back is exactly the file as it stood: nothing another
    // process adds meanwhile can be written over.
    QueueLock lock(jqs_dir);
    if (lock.locked()) jqs_remove_leftovers(jqs_file);
    std::vector<LogNote*> file_order;
    const int loaded = jqs_load(head.get(), &file_order);
    if (loaded < 0) return loaded;  // no queue, or not all of it: nothing to write

    // The jobs in the order the file held them, taken before any update.
    std::vector<WaitingJob> waiting;
    std::vector<ProbeJob> probes;
    for (LogNote* n : file_order) {
        if (n->url[0] != '\0' && n->status == STATUS_WAITING) {
            waiting.push_back({n, n->id, std::string(field_text(n->url)), n->retries});
            probes.push_back({waiting.back().url, n->retries});
        }
    }
    if (waiting.empty()) return lock.release();  // nothing to write

    bool unwritten = false;
    RewritePace pace(file_order.size() * LOGNOTE_SIZE);
    auto write_if_due = [&] {
        if (unwritten && pace.due()) {
            refresh_jqs(true);
            unwritten = false;
            pace.written();
        }
    };
    std::set<std::string> said_once;
    // Verdicts arrive in file order, as if the jobs had been probed one
    // after another.
    auto commit = [&](std::size_t i, ProbeDone& done) {
        const WaitingJob& job = waiting[i];
        write_said(done.trace, said_once);
        if (done.result == nullptr) {
            // A server that trickles must not hold the lock for minutes.
            const Verdict v = failed(job.retries);
            std::fprintf(stderr, "job %d: its probes took more than %d s, counted as unreachable\n",
                         static_cast<int>(job.id), JOB_TIME_FACTOR * probe_timeout(job.retries));
            lognote_set(*job.node, field_text(job.node->resolved_url), v.type, v.status, v.retries);
            unwritten = true;
            return true;
        }
        const Verdict v = classify(*done.result, job.retries);
        const std::string resolved = done.result->spec.value_or("");
        const std::optional<std::string> written = fitting_url(job, done.trace);
        if (!written) {
            std::fprintf(stderr,
                         "job %d: resolved URL of %zu characters does not fit, nor does any URL "
                         "of its chain; the job is left unchanged\n",
                         static_cast<int>(job.id), resolved.size());
            return v.go_on;
        }
        if (resolved.size() >= LN_RESOLVED_URL_LEN) {
            std::fprintf(stderr,
                         "job %d: resolved URL of %zu characters does not fit, the last URL of "
                         "its chain that fits is written\n",
                         static_cast<int>(job.id), resolved.size());
        }
        lognote_set(*job.node, *written, v.type, v.status, v.retries);
        unwritten = true;
        return v.go_on;  // after a refused login the later jobs wait for the next run
    };
    probe_jobs(probes, probe_limit(), commit, write_if_due);
    if (unwritten) refresh_jqs(true);
    return lock.release();
}
