// The queue tool: what it shows of a queue file, and how.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store.h"

/// A queue file as read, record by record in file order, with what is odd
/// about it. Nothing is repaired.
struct QueueContents {
    std::vector<LogNote> jobs;
    std::vector<std::string> warnings;
};

/// Decodes the bytes of a queue file (a final partial record reads with
/// zeros, as the detector reads it).
QueueContents decode_queue(std::string_view bytes, const std::string& path);

/// What a type code and a status stand for.
const char* type_meaning(std::string_view type);
const char* status_meaning(std::int32_t status);

/// The jobs as an aligned table with a heading line.
std::string format_table(const std::vector<LogNote>& jobs);
/// One JSON object on one line.
std::string format_json(const LogNote& job);

/// A JSON string literal for arbitrary bytes (invalid UTF-8 bytes as \u00XX).
std::string json_string(std::string_view bytes);
/// Text safe to print on a terminal: control bytes as \xNN.
std::string display_text(std::string_view bytes);

/// The next free id: one above the greatest, at least 1; none when the
/// greatest is already the largest id there is.
std::optional<std::int32_t> next_free_id(const std::vector<LogNote>& jobs);

/// Probes `url` as a detection run probes a waiting job with it and
/// `retries`, and writes to `out` each step taken, what the detector would
/// say, and what the job would become: every control character shown as
/// \xNN, every password masked. 0 when the job would be settled, 3 when it
/// would stay waiting, 4 for a refused login.
int print_check(const std::string& url, int retries, std::FILE* out);
