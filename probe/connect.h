// Connecting for the probes: a bounded name lookup and a bounded connect.
#pragma once

#include <string>

#include "probe.h"
#include "unique_fd.h"

/// A connected TCP socket to host:port (port cut to 16 bits), every step
/// bounded by probe_timeout(retries); none on any failure. Says each step
/// it takes (report_step), and the run's host memory learns whether
/// host:port answered.
UniqueFd tcp_connect(const std::string& host, int port, int retries);
