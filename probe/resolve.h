// Name lookup for the probes, bounded by the class time-out and shared by
// the probes of a run.
#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>

#include "wait.h"

/// One address of a host.
struct HostAddress {
    int family = AF_INET;  ///< AF_INET or AF_INET6
    in_addr v4{};
    in6_addr v6{};
};

/// The first address of `host`: an IPv4 or bracketed IPv6 literal, or a
/// name from /etc/hosts or DNS (IPv4 first; a name without one is looked
/// up for IPv6 within the same time). None when it does not resolve
/// within `seconds` (or the job's `limit`, which then records the cut).
/// Safe to call from several threads: a name asked for while its lookup
/// runs waits for that lookup.
std::optional<HostAddress> resolve_host(const std::string& host, int seconds, TimeLimit& limit);

/// Forgets what the run has learnt of names (for tests).
void resolve_reset();
