// The one escaper of bytes as \xNN, for text that reaches a person: what a
// server sent, a URL, a queue's fields. Which bytes it escapes is the
// caller's choice.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

/// What escape_text escapes, and how.
enum EscapeFlags : unsigned {
    ESCAPE_CONTROLS = 1,   ///< C0 and DEL
    ESCAPE_C1 = 2,         ///< C1 controls, raw or UTF-8 encoded, and bytes outside UTF-8
    ESCAPE_NON_ASCII = 4,  ///< every byte from 0x80 on
    ESCAPE_BACKSLASH = 8,  ///< "\" itself, as "\\", so that an escape reads back
    HEX_LOWER = 16,        ///< \xab rather than \xAB
};

/// `text` with the bytes `flags` names written as \xNN.
std::string escape_text(std::string_view text, unsigned flags);

/// `text` fit for a terminal: every control character (C0, DEL, C1 whether
/// a raw byte or UTF-8 encoded) and every byte outside a valid UTF-8
/// sequence as \xNN. Other UTF-8 text is left as it is.
std::string printable(std::string_view text);

/// The length of the valid UTF-8 sequence `s` begins with, 0 when none does
/// (an overlong form, a surrogate or a code point past U+10FFFF is none).
std::size_t utf8_length(std::string_view s);
