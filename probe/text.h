// The probe's byte-level text rules: what counts as blank, trimming, ASCII
// case, control bytes, and joining texts. ASCII only, whatever the locale.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

/// Space, tab, LF, VT, FF and CR: what surrounds a header value or a
/// server's URL.
bool is_space(char c);
/// Space, tab, CR and LF: what surrounds a pasted link or an XML element.
bool is_blank(char c);

/// True when `text` holds a control byte: such a text must not go onto a
/// line-based protocol, where it could inject commands.
bool has_control_byte(std::string_view text);

/// `text` without the bytes around it that `blank` says are blank.
std::string_view trim_with(std::string_view text, bool (*blank)(char));
/// `text` without the is_space bytes around it.
std::string_view trim_space(std::string_view text);

/// Lowercases ASCII letters in place.
std::string& string_lowercase(std::string& text);
/// A copy with its ASCII letters lowercased.
std::string lowercase(std::string_view text);

bool starts_with(std::string_view text, std::string_view prefix);
bool ends_with(std::string_view text, std::string_view suffix);
/// Case-blind in ASCII letters.
bool starts_with_nocase(std::string_view text, std::string_view prefix);
bool ends_with_nocase(std::string_view text, std::string_view suffix);

/// A whole number in decimal.
std::string decimal(long long n);

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
