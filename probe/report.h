// Diagnostics on standard error, kept per job while jobs are probed at
// once.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "probe.h"
#include "text.h"

/// Prints `format` with its arguments on stderr, adding no line end. Server
/// text must only ever be an argument. `level` has no effect.
void report(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
/// Writes `bytes` on stderr as they are (a server's error reply).
void report_raw(std::string_view bytes);
/// Prints `text` once per run.
void report_once(const std::string& text);
/// Sends what this thread reports into `sink` instead of stderr (null:
/// stderr again).
void report_into(std::vector<ReportPiece>* sink);
/// With report_steps on, puts a step into the sink as a line: `what` in a
/// column, then `text` (server text with its control bytes as \xNN).
void report_step(std::string_view what, std::string_view text);
