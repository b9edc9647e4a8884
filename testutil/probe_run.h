// Runs one probe in-process and keeps what a test checks afterwards.
#pragma once

#include <memory>
#include <string>

#include "util.h"

/// What a probe left behind: its result, the record it started with, the
/// record current at its end, its stderr and its duration.
template <typename Record>
struct ProbeRun {
    int outcome = 0;
    std::shared_ptr<Record> entry;
    std::shared_ptr<Record> current;
    std::string err;
    double seconds = 0;
};

/// Calls `probe(context, retries)` on `context` (whose current record is the
/// entry) with stderr captured.
template <typename Context, typename Probe>
auto run_probe(Context& context, Probe probe, int retries) {
    ProbeRun<typename decltype(context.current)::element_type> r;
    r.entry = context.current;
    const double t0 = now_seconds();
    r.err = capture_stderr([&] { r.outcome = probe(context, retries); });
    r.seconds = now_seconds() - t0;
    r.current = context.current;
    return r;
}
