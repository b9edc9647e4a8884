// The HTTP probe: one HTTP/1.0 GET, over TLS for https, redirects followed,
// a meta refresh taken as the job's URL, torrent and NZB files told by their
// ending or by what the server declares.
#pragma once

#include <string>

#include "url.h"

/// Sent when GRELT_HTTP_USER_AGENT is unset.
inline constexpr const char* DEFAULT_USER_AGENT = "grelt/7.0 (http://qv2-detect.invalid/)";

/// Probes the context's current record: OUTCOME_REACHABLE or
/// OUTCOME_FAILED, also stored in the record current at the end (a
/// redirect makes its target current).
int http_transfer(ProbeContext& context, int retries);
