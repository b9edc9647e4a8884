// What a job's probes come to: the one place that turns a probe's result
// into what goes into the job's record. The pass and `qv2_jobs check` both
// ask it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scheduler.h"
#include "store.h"

/// A waiting job as the file held it when the pass began (its node, none
/// for `check`): the result goes into the very job probed, never into
/// another with its URL.
struct WaitingJob {
    LogNote* node;
    std::int32_t id;
    std::string url;
    std::int32_t retries;
};

/// A job's verdict: its record's new fields (none: the job is left as it
/// is), what it says (its probes' lines, then the pass's own), and whether
/// the pass goes on after it (not after a refused login).
struct Verdict {
    std::optional<JobResult> write;
    std::vector<ReportPiece> said;
    bool go_on = true;
};

/// The verdict on `job` from how its probes ended (whose lines it takes).
Verdict job_verdict(const WaitingJob& job, ProbeDone& done);
