// The FTP probe: greeting and login on the control connection, nothing
// more (no data connection, no QUIT).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "text.h"
#include "transport.h"
#include "url.h"

/// Probes the context's current record by logging in: OUTCOME_REACHABLE,
/// OUTCOME_FAILED or OUTCOME_LOGIN_REFUSED, also stored in the record.
int ftp_transfer(ProbeContext& context, int retries);

/// The next reply line, or none: time-out, closed or reset connection, or a
/// reply beginning with '4' or '5' (copied raw to stderr). The connection's
/// timed_out() tells whether a wait for the server ran out of time.
std::optional<std::string> get_line(Transport& conn, int retries);

/// What one read's data gives: a reply to copy raw (it begins with '4' or
/// '5'), a line, or nothing yet.
struct ReplyFrame {
    enum Kind { ERROR_REPLY, LINE, MORE } kind;
    std::string line;
};
ReplyFrame frame_reply(std::string_view read_data);

/// True when the line's first three characters are the code's.
bool reply_code_is(std::string_view code, std::string_view line);
