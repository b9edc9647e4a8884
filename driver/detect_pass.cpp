// The detection pass: probe every waiting job once and write back what it
// turned out to be.
#include <cstdio>
#include <string>
#include <vector>

#include "driver.h"
#include "probe.h"
#include "store.h"

namespace {

// A waiting job as the file held it when the pass began.
struct WaitingJob {
    std::int32_t id;
    std::string url;
    std::int32_t retries;
};

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
    jqs_lock();
    std::vector<LogNote*> file_order;
    const int loaded = jqs_load(head.get(), &file_order);
    if (loaded < 0) {  // no queue, or not all of it: nothing the pass could write
        jqs_unlock();
        return loaded;
    }

    // The jobs in the order the file held them, taken before any update:
    // the rewrites reorder the file, and each waiting job is probed once.
    std::vector<WaitingJob> waiting;
    for (const LogNote* n : file_order) {
        if (n->url[0] != '\0' && n->status == STATUS_WAITING)
            waiting.push_back({n->id, std::string(field_text(n->url)), n->retries});
    }
    file_order.clear();

    // A job whose probe used the network is written out at once, so its
    // slow work survives a kill. Jobs settled by their form alone are instant
    // to redo: they wait in memory for the next rewrite or the end.
    bool unwritten = false;
    for (const WaitingJob& job : waiting) {
        bool probed = false;
        const auto result = url_parser(job.url, job.retries, &probed);
        const Verdict v = classify(*result, job.retries);
        const std::string resolved = result->spec.value_or("");
        if (resolved.size() >= LN_RESOLVED_URL_LEN) {
            // Cut, it would be a different URL: leave the job as it was.
            std::fprintf(stderr,
                         "job %d: resolved URL of %zu characters does not fit, left unchanged\n",
                         static_cast<int>(job.id), resolved.size());
        } else if (probed) {
            updatelognote_byurl(job.url, resolved, head.get(), v.type, v.status, v.retries, true);
            unwritten = false;
        } else {
            unwritten =
                lognote_update(job.url, resolved, head.get(), v.type, v.status, v.retries) ||
                unwritten;
        }
        if (!v.go_on) break;  // the later jobs wait for the next run
    }
    if (unwritten) refresh_jqs(true);
    return jqs_unlock();
}
