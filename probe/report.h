// Diagnostics: what a job's probes say, on standard error or kept for the
// pass to write whole while jobs are probed at once.
#pragma once

#include <string>
#include <string_view>

#include "job.h"
#include "text.h"

/// Prints `format` with its arguments where the job's lines go, adding no
/// line end. Server text must only ever be an argument.
void report(JobState& job, const char* format, ...) __attribute__((format(printf, 2, 3)));
/// Says `bytes` as they are (a server's error reply).
void report_raw(JobState& job, std::string_view bytes);
/// Says `text` once per run, however many jobs come upon it.
void report_once(JobState& job, const std::string& text);
/// When the job tells its steps, says a step as a line: `what` in a column,
/// then `text` (server text, shown by printable()).
void report_step(JobState& job, std::string_view what, std::string_view text);

/// Forgets what was said once (for tests).
void report_reset();
