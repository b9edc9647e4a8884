// Choosing the probe by kind, with one fallback to the other protocol.
#pragma once

#include "url.h"

/// Probes the context's current record, falling back from HTTP to FTP or
/// the other way round: true when the URL counts as reached (a refused FTP
/// login included), false when neither protocol reached it. The outcome
/// itself is in the current record.
bool check_url(ProbeContext& context, int retries);
