#include "text.h"

#include <algorithm>

#include "probe.h"

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool is_control_byte(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7f;
}

bool has_control_byte(std::string_view text) {
    return std::any_of(text.begin(), text.end(), is_control_byte);
}

std::string_view trim_with(std::string_view text, bool (*blank)(char)) {
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string_view trim_space(std::string_view text) {
    return trim_with(text, is_space);
}

std::string& string_lowercase(std::string& text) {
    for (char& c : text)
        c = lower(c);
    return text;
}

std::string lowercase(std::string_view text) {
    std::string out(text);
    return string_lowercase(out);
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    return equal_nocase(text.substr(0, prefix.size()), prefix);
}

bool ends_with_nocase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           equal_nocase(text.substr(text.size() - suffix.size()), suffix);
}

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

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = utf8_length(text.substr(i));
        const auto b = static_cast<unsigned char>(text[i]);
        // C1 controls: U+0080 to U+009F, or a raw byte outside UTF-8.
        const bool c1 = n == 2 && b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
        if (n == 0 || c1 || is_control_byte(text[i])) {
            n = std::max<std::size_t>(n, 1);
            for (std::size_t k = 0; k < n; ++k) {
                static const char hex[] = "0123456789ABCDEF";
                const auto c = static_cast<unsigned char>(text[i + k]);
                out += "\\x";
                out += hex[c >> 4];
                out += hex[c & 15];
            }
        } else {
            out.append(text.substr(i, n));
        }
        i += n;
    }
    return out;
}

std::string concat_pieces(std::initializer_list<ConcatPiece> pieces) {
    std::size_t total = 0;
    for (const auto& p : pieces) {
        if (p.end) break;
        total += p.text.size();
    }
    std::string out;
    out.reserve(total);
    for (const auto& p : pieces) {
        if (p.end) break;
        out.append(p.text);
    }
    return out;
}
