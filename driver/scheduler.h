// Probing a run's waiting jobs several at a time, with their results handed
// back in file order, as if they had been probed one after another.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "probe.h"

/// Jobs probed at once at most, and on one host name.
inline constexpr int MAX_PROBES = 8;
inline constexpr int MAX_PROBES_PER_HOST = 2;
/// Lowers MAX_PROBES (1 probes one job at a time).
inline constexpr const char* PROBES_ENV = "QV2_DETECT_PROBES";

/// The probe limit the environment asks for: PROBES_ENV when it holds a
/// number from 1 to MAX_PROBES, else MAX_PROBES.
int probe_limit();

/// A job to probe: its URL and retry counter as the file holds them.
struct ProbeJob {
    std::string url;
    int retries = 0;
};

/// How a job's probe ended.
struct ProbeDone {
    /// The final record; null when the probes ran past the job's time.
    std::shared_ptr<UrlParts> result;
    ProbeTrace trace;
};

/// Probes `jobs`, at most `limit` at once and MAX_PROBES_PER_HOST on one
/// host name, starting them in file order. Each result is handed to
/// `settle(index, done)` on the calling thread soon after it is in, in the
/// order the jobs end: jobs settled by their form first, then about once a
/// second and when no job runs any more. A refused FTP login stops the
/// start of later jobs as soon as it is known, and ends the pass once every
/// earlier job has ended: later probes still running are called off and
/// not handed over. `tick` is called on the calling thread after each
/// batch. Without a worker thread the jobs are probed in file order on the
/// calling thread, and `settle` returning false ends the pass there. A stop
/// (stop.h) ends it either way at once, after handing over what ended
/// before it; probes still running are called off and, after a stop, not
/// waited for.
void probe_jobs(const std::vector<ProbeJob>& jobs, int limit,
                const std::function<bool(std::size_t, ProbeDone&)>& settle,
                const std::function<void()>& tick);

/// One job's probes on the calling thread, as a pass probes it (within the
/// job's time): the final record, or null when they ran past that time.
std::shared_ptr<UrlParts> probe_job(const ProbeJob& job, ProbeTrace& trace);
