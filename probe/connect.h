// Connecting for the probes: a bounded name lookup and a bounded connect.
#pragma once

#include <string>

#include "probe.h"

/// A connected TCP socket to host:port (port cut to 16 bits), every step
/// bounded by probe_timeout(retries); 0 on any failure. Prints nothing.
int tcp_connect(const std::string& host, int port, int retries);
