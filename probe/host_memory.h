// What a run learns of servers that do not answer at all, as it learns of
// names that do not resolve: jobs on one dead host cost one wait, not one
// each. Only the host:port itself not answering counts (a connect, a TLS
// handshake or an FTP greeting that never comes); a slow reply to one
// request says nothing of the host's other paths.
#pragma once

#include <string>

#include "job.h"

/// Remembers for the run that host:port did not answer a wait of `seconds`
/// that began at `since`; `said` is what that failure said. Not when the
/// job's own time limit cut the wait (the server was not given its time),
/// nor when host:port answered anything after `since`.
void host_remember_silent(const JobState& job, const std::string& host, int port, int seconds,
                          Clock::time_point since, const std::string& said = "");

/// Host:port answered (a connect to it succeeded): whatever was remembered
/// of it is forgotten.
void host_answered(const std::string& host, int port);

/// True when host:port is remembered as silent for at least `seconds` by
/// another job: a probe that would wait no longer fails at once, and says
/// again what the first one said.
bool host_known_silent(JobState& job, const std::string& host, int port, int seconds);

/// A number for a new job: what a job learns spares the jobs after it, not
/// its own redirects.
long host_memory_new_job();

/// Forgets every server (for tests).
void host_memory_reset();
