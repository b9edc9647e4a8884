#include "text.h"

#include <algorithm>

namespace {

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

// A byte below 0x20, or 0x7F.
bool is_control_byte(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7f;
}

}  // namespace

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
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

std::string decimal(long long n) {
    return std::to_string(n);
}
