// Choosing the probe by kind, with one fallback to the other protocol.
#pragma once

#include "url.h"

/// Probes the context's current record, falling back from HTTP to FTP or
/// the other way round: 1 when the URL counts as reached (a refused FTP
/// login included), -1 when neither protocol reached it.
int check_url(ProbeContext& context, int retries);
