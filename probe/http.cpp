// The HTTP probe. The reply is read in blocks but examined byte by byte, so
// the verdict, the header text and the page are what reading it one byte
// per read gives; bytes read past the header block are dropped with the
// connection.
#include "http.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "report.h"
#include "url_text.h"

namespace {

constexpr std::size_t READ_BLOCK = 4096;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim_blanks(std::string_view t) {
    return trim_with(t, is_space);
}

std::string lowercase(std::string_view t) {
    std::string out(t);
    return string_lowercase(out);
}

bool ends_with_nocase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           lowercase(text.substr(text.size() - suffix.size())) == suffix;
}

int finish(ProbeContext& ctx, int outcome) {
    ctx.current->outcome = outcome;
    return outcome;
}

bool has_scheme(std::string_view ref) {
    if (ref.empty() || !std::isalpha(static_cast<unsigned char>(ref[0]))) return false;
    for (char c : ref) {
        if (c == ':') return true;
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return false;
}

// An environment value fit for a request line: none when unset or when it
// would break the request apart.
std::optional<std::string> header_env(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr) return std::nullopt;
    std::string_view text(v);
    if (text.find_first_of("\r\n") != std::string_view::npos) return std::nullopt;
    return std::string(text);
}

// The file name a Content-Disposition value gives: filename*= (its charset
// and language prefix dropped, percent escapes kept) before filename=
// (quoted or bare). None when there is none.
std::optional<std::string> disposition_file_name(std::string_view value) {
    const std::string v = lowercase(value);
    std::optional<std::string> plain;
    for (std::size_t at = 0; (at = v.find("filename", at)) != std::string::npos; at += 8) {
        if (at > 0 && v[at - 1] != ';' && !is_space(v[at - 1])) continue;
        std::size_t p = at + 8;
        const bool extended = p < v.size() && v[p] == '*';
        if (extended) ++p;
        while (p < v.size() && is_space(v[p]))
            ++p;
        if (p >= v.size() || v[p] != '=') continue;
        ++p;
        while (p < v.size() && is_space(v[p]))
            ++p;
        std::string name;
        if (p < v.size() && v[p] == '"') {
            const auto close = v.find('"', p + 1);
            if (close == std::string::npos) return std::nullopt;  // malformed
            name = v.substr(p + 1, close - p - 1);
        } else {
            name = v.substr(p, v.find(';', p) - p);
            name = std::string(trim_blanks(name));
        }
        if (extended) {
            const auto quote = name.rfind('\'');
            if (quote == std::string::npos) return std::nullopt;  // no charset'lang' prefix
            return name.substr(quote + 1);
        }
        if (!plain) plain = name;
    }
    return plain;
}

// What a body's first bytes say it is, from those read with the header
// and as many more as come in time.
std::uint32_t read_body_kind(Transport& conn, std::string start, int timeout_ms,
                             Clock::time_point deadline) {
    char buf[BODY_SNIFF_MAX];
    for (;;) {
        if (const auto kind = body_kind(start, false)) return *kind;
        const long n = conn.receive(buf, BODY_SNIFF_MAX - start.size(), timeout_ms, deadline);
        if (n <= 0) return *body_kind(start, true);
        start.append(buf, static_cast<std::size_t>(n));
    }
}

// A meta refresh target as it is written back: escaped as a request would
// carry it, with its host in ASCII; a magnet or ed2k link as it stands,
// with the kind it has by its form. None when its host can't be written
// in ASCII.
struct RefreshTarget {
    std::string spec;
    std::uint32_t kind = KIND_HTTP;
};
std::optional<RefreshTarget> refresh_target(const UrlParts& page, std::string_view raw) {
    RefreshTarget r{resolve_reference(page, raw)};
    std::string scheme = r.spec.substr(0, 7);
    string_lowercase(scheme);
    if (scheme == "magnet:") r.kind = KIND_TORRENT;
    if (scheme == "ed2k://") r.kind = KIND_ED2K;
    if (r.kind != KIND_HTTP) return r;
    UrlParts t;
    url_init(t, r.spec);
    if (t.kind != KIND_HTTP) return r;
    const std::string parsed = t.spec.value_or("");
    if (!url_request_form(t, true)) return std::nullopt;
    if (t.spec != parsed) r.spec = t.spec.value_or("");
    return r;
}

}  // namespace

std::string build_http_request(const ProbeContext& ctx) {
    const UrlParts& e = *ctx.current;
    const auto agent = header_env("GRELT_HTTP_USER_AGENT");
    const auto referer = header_env("GRELT_HTTP_REFERER");
    // The port belongs in the Host line when it is not the scheme's own:
    // servers build absolute redirects from it.
    std::string host = e.host.value_or("");
    if (e.port != 0 && e.port != (e.tls ? 443 : 80)) host += ":" + std::to_string(e.port);
    std::string req =
        strconcat("GET ", e.dir.value_or(""), e.file.value_or(""), " HTTP/1.0\r\n", "Host: ", host,
                  "\r\n", "User-Agent: ", agent.value_or(DEFAULT_USER_AGENT), "\r\n");
    if (referer) req += strconcat("Referer: ", *referer, "\r\n");
    return req + "\r\n";
}

std::string read_http_reply(Transport& conn, ProbeContext& ctx, int timeout_ms,
                            Clock::time_point deadline, ReplyEnd* end,
                            std::string_view read_ahead) {
    ctx.data.reset();
    ctx.data_source.reset();
    ReplyEnd unused;
    ReplyEnd& how = end != nullptr ? *end : unused;
    how = ReplyEnd{};
    std::string h;
    std::size_t page_bytes = 0;
    // The page: as much of `bytes` as the cap allows, at once. True once
    // the page has been read far enough.
    auto page = [&](std::string_view bytes) {
        std::size_t n = 0;
        for (; n < bytes.size() && page_bytes < PAGE_CAP; ++n)
            if (bytes[n] != '\0') ++page_bytes;  // a zero byte is not part of the page
        ctx.data->feed(bytes.substr(0, n));
        return page_bytes >= PAGE_CAP || ctx.data->decided();
    };
    // Each byte of the header in turn; true once the reply has been read
    // far enough.
    auto take = [&](char c) {
        if (c != '\0') h += c;
        if (ends_with(h, "\n\n")) {
            how.header_whole = true;
            return true;
        }
        if (ends_with(h, "\r\n\r\n")) {
            how.header_whole = true;
            ctx.content_type = find_header_field("content-type", parse_header_fields(h));
            if (ctx.content_type != "text/html") return true;
            ctx.data.emplace();
        } else if (h.size() >= HEADER_CAP) {
            how.capped = true;
            return true;
        }
        return false;
    };
    // Done with the bytes up to `used` of `bytes`: what follows a header
    // that starts no page is the start of the body.
    auto done = [&](std::string_view bytes, std::size_t used) {
        if (how.header_whole && !ctx.data.has_value())
            how.body_start = std::string(bytes.substr(used, BODY_SNIFF_MAX));
    };
    // Each piece read: the header byte by byte, then the page at once.
    auto piece = [&](std::string_view bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (ctx.data.has_value()) return page(bytes.substr(i));
            if (take(bytes[i])) {
                done(bytes, i + 1);
                return true;
            }
        }
        return false;
    };
    if (piece(read_ahead)) return h;
    char buf[READ_BLOCK];
    for (;;) {
        const long n = conn.receive(buf, sizeof buf, timeout_ms, deadline);
        if (n <= 0 || piece(std::string_view(buf, static_cast<std::size_t>(n)))) return h;
    }
}

HeaderList list_new() {
    return HeaderList();
}

HeaderField& list_append(HeaderList& list, HeaderField item) {
    list.push_back(std::move(item));
    return list.back();
}

void free_header_fields(HeaderList& list) {
    HeaderList().swap(list);
}

std::string& string_lowercase(std::string& text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

HeaderList parse_header_fields(std::string_view text) {
    HeaderList list = list_new();
    auto skip_space = [&](std::size_t p) {
        while (p < text.size() && is_space(text[p]))
            ++p;
        return p;
    };
    std::size_t pos = std::min(text.find_first_of("\r\n"), text.size());
    pos = skip_space(pos);
    for (;;) {
        const auto sep = text.find(": ", pos);
        if (sep == std::string_view::npos) break;
        std::string name(text.substr(pos, sep - pos));
        string_lowercase(name);
        const auto end = text.find_first_of("\r\n", sep + 2);
        std::string value(
            text.substr(sep + 2, end == std::string_view::npos ? end : end - sep - 2));
        list_append(list, HeaderField{std::move(name), std::move(value)});
        if (end == std::string_view::npos) break;
        pos = skip_space(end + 1);
    }
    return list;
}

std::optional<std::string> find_header_field(std::string_view name, const HeaderList& list) {
    for (const auto& f : list)
        if (f.name == name) return f.value;
    return std::nullopt;
}

std::optional<std::string> server_target(std::string_view text) {
    const std::string_view t = trim_blanks(text);
    if (has_control_byte(t)) return std::nullopt;
    return std::string(t);
}

std::string resolve_reference(const UrlParts& base, std::string_view ref) {
    if (has_scheme(ref)) return std::string(ref);
    const char* scheme = base.tls ? "https:" : "http:";
    if (ref.substr(0, 2) == "//") return strconcat(scheme, ref);
    std::string origin = strconcat(scheme, "//", base.host.value_or(""));
    if (base.port != 0 && base.port != (base.tls ? 443 : 80))
        origin += ":" + std::to_string(base.port);
    if (!ref.empty() && ref[0] == '/') return origin + std::string(ref);
    const std::string dir = base.dir.value_or("/");
    const std::string file = base.file.value_or("");
    if (ref.empty()) return origin + dir + file;
    if (ref[0] == '?') return origin + dir + file.substr(0, file.find('?')) + std::string(ref);
    return origin + dir + std::string(ref);
}

std::uint32_t declared_kind(const HeaderList& fields) {
    auto value = [&](std::string_view name) -> std::optional<std::string> {
        auto v = find_header_field(name, fields);
        if (!v || v->size() > DECLARED_VALUE_MAX) return std::nullopt;
        return v;
    };
    if (const auto type = value("content-type")) {
        const std::string media =
            lowercase(trim_blanks(std::string_view(*type).substr(0, type->find(';'))));
        if (media == "application/x-bittorrent") return KIND_TORRENT;
        if (media == "application/x-nzb") return KIND_NZB;
    }
    if (const auto disposition = value("content-disposition")) {
        if (const auto name = disposition_file_name(*disposition)) {
            if (ends_with_nocase(*name, ".torrent")) return KIND_TORRENT;
            if (ends_with_nocase(*name, ".nzb")) return KIND_NZB;
        }
    }
    return KIND_NONE;
}

int http_transfer(ProbeContext& ctx, int retries) {
    if (ctx.redirect_count > MAX_REDIRECTS) {
        report(2, "redirection max count exceeded (looping redirect?)");
        ctx.redirect_count = 0;
        return finish(ctx, OUTCOME_FAILED);
    }
    const std::shared_ptr<UrlParts> e = ctx.current;
    auto no_host = [&] {
        report(2, "no host specified");
        return finish(ctx, OUTCOME_FAILED);
    };
    if (!e->host.has_value() || e->host->empty()) return no_host();
    if (has_control_byte(*e->host) || has_control_byte(e->dir.value_or("")) ||
        has_control_byte(e->file.value_or(""))) {
        report(2, "control character in URL, request not sent\n");
        return finish(ctx, OUTCOME_FAILED);
    }
    // Sent and written back as a request line may carry it: the host in
    // ASCII, the path escaped, no fragment.
    if (!url_request_form(*e, true)) return finish(ctx, OUTCOME_FAILED);
    if (!ctx.trail.empty()) ctx.trail.back() = e->spec.value_or("");
    if (e->host->empty()) return no_host();
    if (!e->dir.has_value()) e->dir = "/";
    if (!e->file.has_value()) e->file = "";
    if (e->port == 0) e->port = e->tls ? 443 : 80;

    const std::unique_ptr<Transport> conn = e->tls ? tls_transport() : plain_transport();
    if (!conn->open(*e->host, e->port, retries)) return finish(ctx, OUTCOME_FAILED);
    const int seconds = probe_timeout(retries);
    const std::string request = build_http_request(ctx);
    report_step("request", std::string_view(request).substr(0, request.find('\r')));
    if (!conn->send(request)) return finish(ctx, OUTCOME_FAILED);

    const auto deadline = Clock::now() + std::chrono::seconds(REPLY_TIME_FACTOR * seconds);
    // The first bytes: read on until the four that must say "HTTP" are
    // there, however the server's segments cut them. Up to eight count as
    // the first read; the rest of the block goes on to the reply reader.
    char block[READ_BLOCK];
    std::size_t n = 0;
    while (n < 4) {
        const long got = conn->receive(block + n, sizeof block - n, seconds * 1000, deadline);
        if (got <= 0) return finish(ctx, OUTCOME_FAILED);
        n += static_cast<std::size_t>(got);
    }
    if (std::string_view(block, 4) != "HTTP") return finish(ctx, OUTCOME_FAILED);
    const std::size_t first = std::min<std::size_t>(n, 8);
    ReplyEnd end;
    const std::string reply =
        std::string(block, first) + read_http_reply(*conn, ctx, seconds * 1000, deadline, &end,
                                                    std::string_view(block + first, n - first));
    if (ctx.data.has_value()) ctx.data_source = e;
    report_step("reply", std::string_view(reply).substr(0, reply.find('\n')));
    if (reply.size() < 10) return finish(ctx, OUTCOME_FAILED);  // no status digit
    const char digit = reply[9];
    // A header block cut at the cap may end inside a line: only whole lines
    // count, so a cut Location is never followed.
    const std::string_view whole = end.capped
                                       ? std::string_view(reply).substr(0, reply.rfind('\n') + 1)
                                       : std::string_view(reply);
    HeaderList fields = parse_header_fields(whole);
    std::optional<std::string> location = find_header_field("location", fields);
    if (location.has_value()) location = server_target(*location);
    const bool redirect = digit == '3' && location.has_value();

    // When neither the URL nor the header tells what the file is and its
    // type is generic, its first bytes may (a generic type has no page).
    const auto told = [&] {
        if (kind_by_suffix(e->spec.value_or(""), e->kind) != KIND_HTTP) return true;
        return declared_kind(fields) != KIND_NONE || path_kind(e->spec.value_or("")) != KIND_NONE;
    };
    std::uint32_t sniffed = KIND_NONE;
    if (!redirect && digit != '4' && digit != '5' && end.header_whole && !told() &&
        content_type_generic(find_header_field("content-type", fields)))
        sniffed = read_body_kind(*conn, end.body_start, seconds * 1000, deadline);
    // Everything needed is read: the connection is not held while a
    // redirect target is probed.
    conn->close();

    if (redirect) {
        auto target = url_new();
        url_init(*target, resolve_reference(*e, *location));
        ctx.current = target;  // e stays alive: it is read again below
        ctx.trail.push_back(target->spec.value_or(""));
        report_step("redirect", ctx.trail.back());
        ++ctx.redirect_count;
        http_transfer(ctx, retries);
    } else if (digit == '4' || digit == '5') {
        const std::string status_line = reply.substr(0, reply.find('\n'));
        report(2, "HTTP error from server: %s", status_line.c_str());
        return finish(ctx, OUTCOME_FAILED);
    }

    if (ctx.data.has_value()) {
        const auto raw = server_target(ctx.data->target());
        const UrlParts& page_url = ctx.data_source ? *ctx.data_source : *ctx.current;
        if (raw.has_value() && !raw->empty()) {
            if (const auto target = refresh_target(page_url, *raw)) {
                ctx.current->spec = target->spec;
                // A magnet or ed2k link is settled as a Location to it is.
                if (target->kind != KIND_HTTP) ctx.current->kind = target->kind;
                ctx.trail.push_back(*ctx.current->spec);
                report_step("refresh", ctx.trail.back());
            }
        }
        // Taken once: an enclosing redirect call would otherwise apply it
        // again against its own URL.
        ctx.data.reset();
        ctx.data_source.reset();
    }
    // The final URL's exact ending; what the server declares; the path's
    // ending in any case; the first bytes.
    e->kind = kind_by_suffix(e->spec.value_or(""), e->kind);
    if (!redirect && e->kind == KIND_HTTP) {
        std::uint32_t kind = declared_kind(fields);
        if (kind == KIND_NONE) kind = path_kind(e->spec.value_or(""));
        if (kind == KIND_NONE) kind = sniffed;
        if (kind != KIND_NONE) e->kind = kind;
    }
    return finish(ctx, OUTCOME_REACHABLE);
}
