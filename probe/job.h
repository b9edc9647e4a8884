// One job's own state while its probes run. It travels in the context each
// probe step is given (and in the job's connections), so that what a wait
// or a line does depends on nothing set from afar.
#pragma once

#include <vector>

#include "probe.h"
#include "wait.h"

struct JobState {
    TimeLimit limit;                           ///< the job's time, and whether it cut a wait
    std::vector<ReportPiece>* said = nullptr;  ///< where its lines go; null: standard error
    bool steps = false;                        ///< each step is told too (into `said`)
    long id = 0;                               ///< the job's number in the run's host memory
};
