// Diagnostics on standard error, kept per job while jobs are probed at
// once, and the joining of texts.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "probe.h"

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
