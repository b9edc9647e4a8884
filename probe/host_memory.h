// What a run learns of servers that do not answer in time, as it learns
// of names that do not resolve: jobs on one dead host cost one wait, not
// one each.
#pragma once

#include <string>

/// Remembers for the run that host:port did not answer within `seconds`
/// (a connect, a TLS handshake, the first reply); `said` is what that
/// failure said on stderr. Not when the wait was cut by the job's own time
/// limit: then the server was not given its time.
void host_remember_silent(const std::string& host, int port, int seconds,
                          const std::string& said = "");

/// True when host:port is remembered as silent for at least `seconds` by
/// another job: a probe that would wait no longer fails at once, and says
/// again what the first one said.
bool host_known_silent(const std::string& host, int port, int seconds);

/// The calling thread's probes from now on are another job's.
void host_memory_new_job();

/// Forgets every server (for tests).
void host_memory_reset();
