#include "url_text.h"

#include <algorithm>
#include <cstdint>

#include "escape.h"
#include "report.h"
#include "text.h"
#include "url.h"

namespace {

bool is_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The code points of a UTF-8 text; none for a malformed one (a stray or
// missing continuation byte, an overlong form, a surrogate, or beyond
// U+10FFFF).
std::optional<std::u32string> utf8_decode(std::string_view text) {
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        int extra = 0;
        char32_t cp = 0;
        char32_t least = 0;
        if (b < 0x80) {
            cp = b;
        } else if (b >= 0xC2 && b <= 0xDF) {
            extra = 1, cp = b & 0x1F, least = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            extra = 2, cp = b & 0x0F, least = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            extra = 3, cp = b & 0x07, least = 0x10000;
        } else {
            return std::nullopt;
        }
        if (i + static_cast<std::size_t>(extra) >= text.size() && extra > 0) return std::nullopt;
        for (int k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((c & 0xC0) != 0x80) return std::nullopt;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        out += cp;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

// Lower case for the letters of the scripts host names are mostly written
// in: Latin (with its extended blocks), Greek, Cyrillic and Armenian.
char32_t lower(char32_t c) {
    if (c >= 'A' && c <= 'Z') return c + 0x20;
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
        (c >= 0x410 && c <= 0x42F))
        return c + 0x20;
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    if (c >= 0x531 && c <= 0x556) return c + 0x30;
    if (c == 0x178) return 0xFF;
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return c + 0x25;
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return c + 0x3F;
    // Blocks of upper and lower case in pairs: even upper, odd lower...
    const bool even_pairs = (c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) ||
                            (c >= 0x14A && c <= 0x177) || (c >= 0x460 && c <= 0x481) ||
                            (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F) ||
                            (c >= 0x1E00 && c <= 0x1E95) || (c >= 0x1EA0 && c <= 0x1EFF);
    if (even_pairs) return c | 1;
    // ... or odd upper, even lower.
    const bool odd_pairs =
        (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E) || (c >= 0x4C1 && c <= 0x4CE);
    if (odd_pairs && (c & 1)) return c + 1;
    return c;
}

char punycode_digit(std::uint32_t d) {
    return static_cast<char>(d < 26 ? 'a' + d : '0' + (d - 26));
}

std::uint32_t punycode_adapt(std::uint32_t delta, std::uint32_t points, bool first) {
    constexpr std::uint32_t base = 36, tmin = 1, tmax = 26, skew = 38, damp = 700;
    delta = first ? delta / damp : delta / 2;
    delta += delta / points;
    std::uint32_t k = 0;
    while (delta > ((base - tmin) * tmax) / 2) {
        delta /= base - tmin;
        k += base;
    }
    return k + (((base - tmin + 1) * delta) / (delta + skew));
}

// Where the host stands in a spec whose path part begins at `path_at`:
// just before it, or before a ":port" there. npos when it is not there.
std::size_t host_in_spec(const std::string& spec, std::size_t path_at, const std::string& host) {
    std::size_t end = path_at;
    std::size_t digits = end;
    while (digits > 0 && spec[digits - 1] >= '0' && spec[digits - 1] <= '9')
        --digits;
    if (digits > 0 && spec[digits - 1] == ':') end = digits - 1;
    if (end < host.size() || spec.compare(end - host.size(), host.size(), host) != 0)
        return std::string::npos;
    return end - host.size();
}

// `text` with each byte `keep` refuses written as `mark` and two upper-case
// hex digits.
template <typename Keep>
std::string escape(std::string_view text, const char* mark, Keep keep) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (keep(b)) {
            out += c;
        } else {
            out += mark;
            out += hex[b >> 4];
            out += hex[b & 15];
        }
    }
    return out;
}

// A host name for a message: bytes that are no ASCII as \xNN.
std::string escaped(std::string_view text) {
    return escape_text(text, ESCAPE_NON_ASCII);
}

// A path and query as a request line carries it: the fragment ("#" on)
// dropped, and every byte below 0x21 or above 0x7E (a blank, each byte of
// a UTF-8 letter) written as %XX in upper-case hex. Nothing else changes:
// an existing escape, "?", "&", "=", "/" keep their meaning.
std::string url_request_target(std::string_view path) {
    return escape(path.substr(0, path.find('#')), "%",
                  [](unsigned char b) { return b >= 0x21 && b <= 0x7E; });
}

// RFC 3492 Punycode of the code points (lower-case digits); none when
// the numbers it needs overflow.
std::optional<std::string> punycode_encode(const std::u32string& points) {
    constexpr std::uint32_t base = 36, tmin = 1, tmax = 26, limit = 0x7FFFFFFF;
    std::string out;
    for (const char32_t c : points)
        if (c < 0x80) out += static_cast<char>(c);
    const auto basic = static_cast<std::uint32_t>(out.size());
    if (basic > 0) out += '-';
    std::uint32_t n = 0x80, delta = 0, bias = 72, h = basic;
    while (h < points.size()) {
        char32_t m = 0x10FFFF + 1;
        for (const char32_t c : points)
            if (c >= n && c < m) m = c;
        if ((m - n) > (limit - delta) / (h + 1)) return std::nullopt;
        delta += (m - n) * (h + 1);
        n = m;
        for (const char32_t c : points) {
            if (c < n && ++delta > limit) return std::nullopt;
            if (c != n) continue;
            std::uint32_t q = delta;
            for (std::uint32_t k = base;; k += base) {
                const std::uint32_t t = k <= bias ? tmin : k >= bias + tmax ? tmax : k - bias;
                if (q < t) break;
                out += punycode_digit(t + (q - t) % (base - t));
                q = (q - t) / (base - t);
            }
            out += punycode_digit(q);
            bias = punycode_adapt(delta, h + 1, h == basic);
            delta = 0;
            ++h;
        }
        ++delta;
        ++n;
    }
    return out;
}

}  // namespace

std::string_view url_trim(std::string_view text) {
    return trim_with(text, is_blank);
}

std::optional<std::string> host_ascii(std::string_view host, std::string* why) {
    if (is_ascii(host)) return std::string(host);
    if (!utf8_decode(host)) {
        if (why != nullptr) *why = strconcat("host name ", escaped(host), " is not valid UTF-8");
        return std::nullopt;
    }
    std::string out;
    for (std::size_t start = 0;;) {
        const std::size_t dot = host.find('.', start);
        const std::string_view label = host.substr(start, dot - start);
        if (is_ascii(label)) {
            out += label;
        } else {
            std::u32string points = *utf8_decode(label);
            for (char32_t& c : points)
                c = lower(c);
            const auto code = punycode_encode(points);
            // A DNS label holds 63 characters.
            if (!code || code->size() + 4 > 63) {
                if (why != nullptr)
                    *why = strconcat("host name label ", label, " can't be written in ASCII");
                return std::nullopt;
            }
            out += strconcat("xn--", *code);
        }
        if (dot == std::string_view::npos) return out;
        out += '.';
        start = dot + 1;
    }
}

bool url_request_form(UrlParts& r, RequestForm form, JobState& job) {
    const bool path = form == RequestForm::HOST_AND_PATH;
    if (!r.spec || !r.host) return true;
    std::string& spec = *r.spec;
    std::string old_path = strconcat(r.dir.value_or(""), r.file.value_or(""));
    // The record's spec ends with the path as parsed, and the host stands before
    // it (and before a ":port"). Where that is not so, only the fields
    // change.
    std::size_t path_at = ends_with(spec, old_path) ? spec.size() - old_path.size() : spec.npos;
    std::size_t host_at = path_at == spec.npos ? spec.npos : host_in_spec(spec, path_at, *r.host);
    if (path) {
        // A fragment right after the host ("http://host#top") takes the
        // rest with it.
        if (const auto hash = r.host->find('#'); hash != std::string::npos) {
            r.host->erase(hash);
            r.port = 0;
            r.dir.reset();
            r.file.reset();
            old_path.clear();
            if (host_at != spec.npos) spec.erase(host_at + hash);
            path_at = spec.size();
        }
    }
    std::string why;
    const std::optional<std::string> host = host_ascii(*r.host, &why);
    if (!host) {
        report(job, "%s; not looked up\n", why.c_str());
        return false;
    }
    std::string new_path = old_path;
    if (path && !old_path.empty()) {
        new_path = url_request_target(old_path);
        const std::size_t slash = new_path.rfind('/');
        r.dir.reset();
        r.file.reset();
        if (slash != std::string::npos) r.dir = new_path.substr(0, slash + 1);
        if (slash + 1 < new_path.size()) r.file = new_path.substr(slash + 1);
    }
    if (host_at != spec.npos) {
        const std::size_t host_end = host_at + r.host->size();
        const std::string_view was = spec;
        spec = strconcat(was.substr(0, host_at), *host, was.substr(host_end, path_at - host_end),
                         new_path);
    }
    r.host = *host;
    return true;
}

std::optional<std::string> server_target(std::string_view text) {
    const std::string_view t = trim_space(text);
    if (has_control_byte(t)) return std::nullopt;
    return std::string(t);
}
