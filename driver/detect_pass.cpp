// The detection pass: probe every waiting job once and write back what it
// turned out to be.
#include <cstdio>
#include <string>
#include <vector>

#include "driver.h"
#include "probe.h"
#include "store.h"

namespace {

// A waiting job as the file held it when the pass began, and its node: the
// result goes into the very job probed, never into another with its URL.
struct WaitingJob {
    LogNote* node;
    std::int32_t id;
    std::string url;
    std::int32_t retries;
};

// The URL a job is written back with: the last of its chain that fits the
// record (the one that redirected to an over-long target, the job's own URL
// as probed), else the URL as stored. Never a cut URL.
std::string fitting_url(const WaitingJob& job, const ProbeTrace& trace) {
    for (auto it = trace.trail.rbegin(); it != trace.trail.rend(); ++it) {
        if (it->size() < LN_RESOLVED_URL_LEN) return *it;
    }
    return job.url;
}

// Type code and status for a probe's final record; false when the pass
// must end after this job (a refused login).
struct Verdict {
    const char* type;
    std::int32_t status;
    std::int32_t retries;
    bool go_on;
};

Verdict classify(const UrlParts& p, std::int32_t retries) {
    if (p.outcome == OUTCOME_REACHABLE) {
        switch (p.kind) {
            case KIND_HTTP:
                return {"1", STATUS_DETECTED, retries, true};
            case KIND_FTP:
                return {"2", STATUS_DETECTED, retries, true};
            case KIND_TORRENT:
                return {"3", STATUS_DETECTED, retries, true};
            case KIND_NZB:
                return {"4", STATUS_DETECTED, retries, true};
            case KIND_ED2K:
                return {"6", STATUS_DETECTED, retries, true};
            default:
                return {"5", STATUS_WAITING, retries, true};
        }
    }
    if (p.outcome == OUTCOME_LOGIN_REFUSED) return {"2", STATUS_LOGIN_REFUSED, retries, false};
    return {"5", STATUS_WAITING, retries < 3 ? retries + 1 : retries, true};
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

    // The jobs in the order the file held them, taken before any update:
    // the rewrites reorder the file, and each waiting job is probed once.
    std::vector<WaitingJob> waiting;
    for (LogNote* n : file_order) {
        if (n->url[0] != '\0' && n->status == STATUS_WAITING)
            waiting.push_back({n, n->id, std::string(field_text(n->url)), n->retries});
    }
    file_order.clear();

    // A job whose probe used the network is written out at once, so its
    // slow work survives a kill. Jobs settled by their form alone are instant
    // to redo: they wait in memory for the next rewrite or the end.
    bool unwritten = false;
    for (const WaitingJob& job : waiting) {
        ProbeTrace trace;
        const auto result = url_parser(job.url, job.retries, &trace);
        const Verdict v = classify(*result, job.retries);
        const std::string resolved = result->spec.value_or("");
        if (resolved.size() >= LN_RESOLVED_URL_LEN) {
            std::fprintf(stderr,
                         "job %d: resolved URL of %zu characters does not fit, the last URL of "
                         "its chain that fits is written\n",
                         static_cast<int>(job.id), resolved.size());
        }
        lognote_set(*job.node, fitting_url(job, trace), v.type, v.status, v.retries);
        unwritten = true;
        if (trace.probed) {
            refresh_jqs(true);
            unwritten = false;
        }
        if (!v.go_on) break;  // the later jobs wait for the next run
    }
    if (unwritten) refresh_jqs(true);
    return lock.release();
}
