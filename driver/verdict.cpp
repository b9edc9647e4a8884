// The verdict on a job: type, status and retries from its probe's final
// record, and the URL that fits the record.
#include "verdict.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

// Type code and status for a probe's final record; go_on false when the
// pass must end after this job (a refused login).
struct Class {
    const char* type;
    std::int32_t status;
    std::int32_t retries;
    bool go_on;
};

Class failed(std::int32_t retries) {
    return {TYPE_UNDETERMINED, STATUS_WAITING, retries < RETRIES_MAX ? retries + 1 : retries, true};
}

Class classify(const UrlParts& p, std::int32_t retries) {
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
// as probed), else the URL as stored. A settled job gets the stored URL
// only when a request would carry it as it is (no blank, no byte to escape,
// so a host in ASCII): every downloader can use it. None when nothing
// fits: a cut URL is never written.
std::optional<std::string> fitting_url(const WaitingJob& job, const ProbeTrace& trace,
                                       bool settled) {
    for (auto it = trace.trail.rbegin(); it != trace.trail.rend(); ++it) {
        if (it->size() < LN_RESOLVED_URL_LEN) return *it;
    }
    const bool as_requested =
        std::all_of(job.url.begin(), job.url.end(), [](char c) { return c > ' ' && c < '\x7f'; });
    if (job.url.size() < LN_RESOLVED_URL_LEN && (as_requested || !settled)) return job.url;
    return std::nullopt;
}

// A line of the pass's own, said with the job's.
void say(std::vector<ReportPiece>& said, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
void say(std::vector<ReportPiece>& said, const char* format, ...) {
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    said.push_back(ReportPiece{line, false});
}

}  // namespace

Verdict job_verdict(const WaitingJob& job, ProbeDone& done) {
    Verdict d;
    d.said = std::move(done.trace.said);
    if (done.result == nullptr) {
        // A server that trickles must not hold the lock for minutes.
        const Class v = failed(job.retries);
        say(d.said, "job %d: its probes took more than %d s, counted as unreachable\n",
            static_cast<int>(job.id), JOB_TIME_FACTOR * probe_timeout(job.retries));
        const std::string resolved =
            job.node != nullptr ? std::string(field_text(job.node->resolved_url)) : "";
        d.write = JobResult{resolved, v.type, v.status, v.retries};
        return d;
    }
    const Class v = classify(*done.result, job.retries);
    const std::string resolved = done.result->spec.value_or("");
    const std::optional<std::string> fits =
        fitting_url(job, done.trace, v.status != STATUS_WAITING);
    if (!fits) {
        say(d.said,
            "job %d: resolved URL of %zu characters does not fit, nor does any URL of its "
            "chain; the job is left unchanged\n",
            static_cast<int>(job.id), resolved.size());
    } else {
        if (resolved.size() >= LN_RESOLVED_URL_LEN) {
            say(d.said,
                "job %d: resolved URL of %zu characters does not fit, the last URL of its "
                "chain that fits is written\n",
                static_cast<int>(job.id), resolved.size());
        }
        d.write = JobResult{*fits, v.type, v.status, v.retries};
    }
    d.go_on = v.go_on;
    return d;
}
