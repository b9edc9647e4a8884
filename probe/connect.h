// What the probes share: time-outs by retry class, bounded name lookup and
// connect, text joining and diagnostics.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "probe.h"

/// A connected TCP socket to host:port (port cut to 16 bits), every step
/// bounded by probe_timeout(retries); 0 on any failure. Prints nothing.
int tcp_connect(const std::string& host, int port, int retries);

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

/// One piece of a strconcat list; a null text ends the list.
struct ConcatPiece {
    ConcatPiece(const char* s) : text(s ? std::string_view(s) : std::string_view()), end(!s) {}
    ConcatPiece(std::nullptr_t) : end(true) {}
    ConcatPiece(std::string_view s) : text(s) {}
    ConcatPiece(const std::string& s) : text(s) {}
    std::string_view text;
    bool end = false;
};
std::string concat_pieces(std::initializer_list<ConcatPiece> pieces);

/// The texts joined in order, up to the first null text.
template <typename... Pieces>
std::string strconcat(const Pieces&... pieces) {
    return concat_pieces({ConcatPiece(pieces)...});
}

/// True when `text` holds a byte below 0x20 or 0x7F: such a text must not
/// go onto a line-based protocol, where it could inject commands.
bool has_control_byte(std::string_view text);
