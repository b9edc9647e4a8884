// The URL parser: kind by form, a scheme for texts without a known one,
// then login, host, port, directory and file. Text work only.
//
// Parse positions are offsets into the input text, also where spec was
// rewritten: the quirks of the classification (a skip of the first N
// characters wherever the scheme stood) are what stored queues were
// detected with, so they stay.
#include "url.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <limits>
#include <tuple>
#include <utility>

#include "kind.h"
#include "text.h"

namespace {

using std::string_view;
constexpr auto npos = string_view::npos;

bool contains(string_view text, string_view part) {
    return text.find(part) != npos;
}

// The position after the first n characters, at most the end.
std::size_t skip(string_view text, std::size_t n) {
    return n < text.size() ? n : text.size();
}

std::size_t classify_url(UrlParts& r, string_view text) {
    const std::uint32_t by_suffix = suffix_kind(text);
    if (by_suffix == KIND_TORRENT) {
        r.kind = KIND_TORRENT;
        return contains(text, HTTP_SCHEME) ? skip(text, HTTP_SCHEME.size()) : 0;
    }
    if (by_suffix == KIND_NZB) {
        r.kind = KIND_NZB;
        return skip(text, HTTP_SCHEME.size());
    }
    if (contains(text, MAGNET_SCHEME)) {
        r.kind = KIND_TORRENT;
        return skip(text, MAGNET_SCHEME.size());
    }
    if (starts_with_nocase(text, HTTPS_SCHEME)) {
        // Asked for over TLS, so never sent in the clear.
        r.kind = KIND_HTTP;
        r.tls = true;
        r.spec = strconcat(HTTPS_SCHEME, text.substr(HTTPS_SCHEME.size()));
        return HTTPS_SCHEME.size();
    }
    // A scheme anywhere in the text, the first of these found deciding.
    for (const auto& [scheme, kind] :
         {std::pair{HTTP_SCHEME, KIND_HTTP}, std::pair{FTP_SCHEME, KIND_FTP},
          std::pair{ED2K_SCHEME, KIND_ED2K}}) {
        if (!contains(text, scheme)) continue;
        r.kind = kind;
        return skip(text, scheme.size());
    }
    // A host name that says what it serves gets that scheme put in front.
    for (const auto& [start, scheme, kind] :
         {std::tuple{"www", HTTP_SCHEME, KIND_HTTP}, std::tuple{"ftp", FTP_SCHEME, KIND_FTP}}) {
        if (!starts_with_nocase(text, start)) continue;
        r.kind = kind;
        r.spec = strconcat(scheme, text);
        return 0;
    }
    r.kind = KIND_HTTP;
    constexpr string_view separator = "://";
    if (const auto sep = text.find(separator); sep != npos) {
        r.spec = strconcat(HTTP_SCHEME, text.substr(sep + separator.size()));
        return sep + separator.size();
    }
    r.spec = strconcat(HTTP_SCHEME, text);
    return 0;
}

// Where the login ends: the first "@" after `p`, unless a "/" comes first
// (then the "@" belongs to the path and there is no login).
std::size_t login_at(string_view text, std::size_t p) {
    const auto at = text.find('@', p);
    if (at == npos) return npos;
    const auto slash = text.find('/', p);
    return slash != npos && slash < at ? npos : at;
}

std::size_t parse_user(UrlParts& r, string_view text, std::size_t p) {
    if (login_at(text, p) == npos) return p;
    const auto end = text.find_first_of(":@", p);
    r.user = std::string(text.substr(p, end - p));
    return end + 1;
}

std::size_t parse_password(UrlParts& r, string_view text, std::size_t p) {
    const auto at = login_at(text, p);
    if (at == npos) return p;
    r.password = std::string(text.substr(p, at - p));
    return at + 1;
}

std::size_t parse_host(UrlParts& r, string_view text, std::size_t p) {
    if (p < text.size() && text[p] == '[') {
        // An IPv6 literal is one host, colons and all; without its closing
        // bracket there is no host.
        const auto close = text.find(']', p);
        if (close == npos) {
            r.host = "";
            return text.size();
        }
        r.host = std::string(text.substr(p, close - p + 1));
        return close + 1 < text.size() && text[close + 1] == ':' ? close + 2 : close + 1;
    }
    const auto end = text.find_first_of("/:", p);
    r.host = std::string(text.substr(p, end == npos ? npos : end - p));
    if (end == npos) return text.size();
    return text[end] == ':' ? end + 1 : end;
}

std::size_t parse_port(UrlParts& r, string_view text, std::size_t p) {
    std::size_t end = p;
    std::int64_t value = 0;
    constexpr std::int64_t cap = std::numeric_limits<std::int32_t>::max();
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') {
        // A run of digits too long for the field stays at the largest port
        // number the field holds, instead of overflowing.
        value = std::min(cap, value * 10 + (text[end] - '0'));
        ++end;
    }
    if (end == p) return p;
    r.port = static_cast<std::int32_t>(value);
    return end;
}

std::size_t parse_dir(UrlParts& r, string_view text, std::size_t p) {
    const auto slash = text.rfind('/');
    if (slash == npos || slash < p) return p;
    r.dir = std::string(text.substr(p, slash - p + 1));
    return slash + 1;
}

void parse_file(UrlParts& r, string_view text, std::size_t p) {
    if (p < text.size()) r.file = std::string(text.substr(p));
}

// True when `ref` begins with a scheme and its colon ("mailto:", "ftp:").
bool has_scheme(std::string_view ref) {
    if (ref.empty() || !std::isalpha(static_cast<unsigned char>(ref[0]))) return false;
    for (char c : ref) {
        if (c == ':') return true;
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return false;
}

// `path` without its "." and ".." segments (RFC 3986 section 5.2.4).
std::string remove_dot_segments(std::string_view path) {
    std::string out;
    while (!path.empty()) {
        if (starts_with(path, "../")) {
            path.remove_prefix(3);
        } else if (starts_with(path, "./") || starts_with(path, "/./")) {
            path.remove_prefix(2);
        } else if (path == "/.") {
            path = "/";
        } else if (starts_with(path, "/../") || path == "/..") {
            path = path.size() == 3 ? std::string_view("/") : path.substr(3);
            out.erase(std::min(out.rfind('/'), out.size()));
        } else if (path == "." || path == "..") {
            path = {};
        } else {
            // The first segment, its "/" included, up to the next "/".
            const auto next = std::min(path.find('/', 1), path.size());
            out.append(path.substr(0, next));
            path.remove_prefix(next);
        }
    }
    return out;
}

}  // namespace

std::shared_ptr<UrlParts> url_new() {
    return std::make_shared<UrlParts>();
}

UrlParts* url_init(UrlParts& r, string_view text) {
    r.spec = std::string(text);
    std::size_t p = classify_url(r, text);
    if (!r.user.has_value()) p = parse_user(r, text, p);
    if (!r.password.has_value()) p = parse_password(r, text, p);
    p = parse_host(r, text, p);
    if (r.host->empty()) return nullptr;
    p = parse_port(r, text, p);
    p = parse_dir(r, text, p);
    parse_file(r, text, p);
    return &r;
}

std::string resolve_reference(const UrlParts& base, std::string_view ref) {
    if (has_scheme(ref)) return std::string(ref);
    const std::string_view scheme = base.tls ? HTTPS_SCHEME : HTTP_SCHEME;
    // "//host/path" keeps only the base's scheme name and colon.
    if (starts_with(ref, "//")) return strconcat(scheme.substr(0, scheme.find(':') + 1), ref);
    const std::string origin = strconcat(scheme, host_and_port(base));
    // The base's path ends before its query: the parser's dir may reach
    // into a query that holds a "/".
    const std::string target = base.dir.value_or("/") + base.file.value_or("");
    const auto query_at = std::min(target.find_first_of("?#"), target.size());
    const std::string_view path = std::string_view(target).substr(0, query_at);
    const std::string_view query =
        std::string_view(target).substr(query_at, target.find('#', query_at) - query_at);
    const auto rest_at = std::min(ref.find_first_of("?#"), ref.size());
    const std::string_view ref_path = ref.substr(0, rest_at);
    const std::string_view rest = ref.substr(rest_at);
    if (ref_path.empty()) {
        // "", "?y" or "#s": the base's own path, its query unless replaced.
        return strconcat(origin, path.empty() ? "/" : path, starts_with(rest, "?") ? "" : query,
                         rest);
    }
    if (ref_path[0] == '/') return strconcat(origin, remove_dot_segments(ref_path), rest);
    const std::string_view base_dir = path.substr(0, path.rfind('/') + 1);
    return strconcat(
        origin, remove_dot_segments(strconcat(base_dir.empty() ? "/" : base_dir, ref_path)), rest);
}

std::string url_for_people(string_view url) {
    // The login as the parser finds it after the scheme: a user name up to
    // ":" or "@", then a password up to the "@" before the host.
    const auto scheme_end = url.find("://");
    if (scheme_end == npos) return std::string(url);
    const std::size_t p = scheme_end + 3;
    if (login_at(url, p) == npos) return std::string(url);
    const std::size_t password = url.find_first_of(":@", p) + 1;
    const std::size_t at = login_at(url, password);
    if (at == npos) return std::string(url);  // a user name alone
    return strconcat(url.substr(0, password), "*password*", url.substr(at));
}

std::string host_and_port(const UrlParts& r) {
    std::string text = r.host.value_or("");
    const int port = port_on_wire(r.port);
    if (r.port != 0 && port != (r.tls ? HTTPS_PORT : HTTP_PORT))
        text += strconcat(":", decimal(port));
    return text;
}
