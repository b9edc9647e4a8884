#include "escape.h"

#include <algorithm>

std::size_t utf8_length(std::string_view s) {
    if (s.empty()) return 0;
    const auto b = static_cast<unsigned char>(s[0]);
    if (b < 0x80) return 1;
    const std::size_t n = b >= 0xC2 && b <= 0xDF   ? 2
                          : b >= 0xE0 && b <= 0xEF ? 3
                          : b >= 0xF0 && b <= 0xF4 ? 4
                                                   : 0;
    if (n == 0 || s.size() < n) return 0;
    for (std::size_t i = 1; i < n; ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 0;
    // No overlong form, surrogate, or code point past U+10FFFF.
    const auto b1 = static_cast<unsigned char>(s[1]);
    if ((b == 0xE0 && b1 < 0xA0) || (b == 0xED && b1 >= 0xA0) || (b == 0xF0 && b1 < 0x90) ||
        (b == 0xF4 && b1 >= 0x90))
        return 0;
    return n;
}

namespace {

// How many bytes from the start of `rest` go out as they are (0: the first
// is escaped), by `flags`.
std::size_t kept(std::string_view rest, unsigned flags) {
    const auto b = static_cast<unsigned char>(rest[0]);
    if (b == '\\') return (flags & ESCAPE_BACKSLASH) != 0 ? 0 : 1;
    if (b < 0x20 || b == 0x7f) return (flags & ESCAPE_CONTROLS) != 0 ? 0 : 1;
    if (b < 0x80) return 1;
    if ((flags & ESCAPE_NON_ASCII) != 0) return 0;
    if ((flags & ESCAPE_C1) == 0) return 1;
    const std::size_t n = utf8_length(rest);
    const bool c1 = n == 2 && b == 0xC2 && static_cast<unsigned char>(rest[1]) < 0xA0;
    return c1 ? 0 : n;
}

}  // namespace

std::string escape_text(std::string_view text, unsigned flags) {
    const char* hex = (flags & HEX_LOWER) != 0 ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (const std::size_t n = kept(text.substr(i), flags); n > 0) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        const auto b = static_cast<unsigned char>(text[i]);
        // An encoded C1 control goes out whole, each of its bytes escaped.
        const std::size_t n =
            b == 0xC2 && (flags & ESCAPE_C1) != 0 ? utf8_length(text.substr(i)) : 0;
        for (const std::size_t end = i + std::max<std::size_t>(n, 1); i < end; ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c == '\\') {
                out += "\\\\";
                continue;
            }
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string printable(std::string_view text) {
    return escape_text(text, ESCAPE_CONTROLS | ESCAPE_C1);
}
