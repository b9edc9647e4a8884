// Connecting for the probes: a bounded name lookup and a bounded connect.
#pragma once

#include <string>

#include "job.h"
#include "unique_fd.h"

/// A connected TCP socket to host:port (port cut to 16 bits), every step
/// bounded by probe_timeout(retries) and the job's limit; none on any
/// failure. Tells each step it takes, and the run's host memory learns
/// whether host:port answered.
UniqueFd tcp_connect(const std::string& host, int port, int retries, JobState& job);
