// The HTTP probe. The reply is read in blocks but examined byte by byte, so
// the verdict, the header text and the page are what reading it one byte
// per read gives; bytes read past the header block are dropped with the
// connection.
#include "http.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "connect.h"

int redirect_count = 0;
std::optional<std::string> data;
std::optional<std::string> content_type;

namespace {

using Clock = std::chrono::steady_clock;

// The record whose reply filled `data`: a relative refresh target is
// resolved against the page's own URL.
std::shared_ptr<UrlParts> data_source;

constexpr std::size_t READ_BLOCK = 4096;

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string_view trim_blanks(std::string_view t) {
    while (!t.empty() && is_space(t.front()))
        t.remove_prefix(1);
    while (!t.empty() && is_space(t.back()))
        t.remove_suffix(1);
    return t;
}

// Waits until `fd` is readable, at most one class time-out and never past
// the reply's deadline. False when the time ran out.
bool wait_readable(int fd, int timeout_ms, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(std::min<long long>(left, timeout_ms)));
        if (r > 0) return true;
        if (r == 0) return false;
        if (errno != EINTR) return true;  // let the read report it
    }
}

ssize_t read_some(int fd, char* buf, std::size_t n) {
    ssize_t r;
    do {
        r = read(fd, buf, n);
    } while (r < 0 && errno == EINTR);
    return r;
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

}  // namespace

void http_reset_redirects() {
    redirect_count = 0;
}

std::string build_http_request(const ProbeContext& ctx) {
    const UrlParts& e = *ctx.current;
    const auto agent = header_env("GRELT_HTTP_USER_AGENT");
    const auto referer = header_env("GRELT_HTTP_REFERER");
    std::string req = strconcat("GET ", e.dir.value_or(""), e.file.value_or(""), " HTTP/1.0\r\n",
                                "Host: ", e.host.value_or(""), "\r\n",
                                "User-Agent: ", agent.value_or(DEFAULT_USER_AGENT), "\r\n");
    if (referer) req += strconcat("Referer: ", *referer, "\r\n");
    return req + "\r\n";
}

std::string read_http_reply(int socket, int timeout_ms, Clock::time_point deadline, bool* capped) {
    data.reset();
    data_source.reset();
    if (capped != nullptr) *capped = false;
    std::string h;
    bool page = false;
    char buf[READ_BLOCK];
    for (;;) {
        if (!wait_readable(socket, timeout_ms, deadline)) return h;
        const ssize_t n = read_some(socket, buf, sizeof buf);
        if (n <= 0) return h;
        for (ssize_t i = 0; i < n; ++i) {
            const char c = buf[i];
            if (page) {
                if (c != '\0') *data += c;
                if (data->size() >= PAGE_CAP) return h;
                continue;
            }
            if (c != '\0') h += c;
            if (ends_with(h, "\n\n")) return h;
            if (ends_with(h, "\r\n\r\n")) {
                content_type = find_header_field("content-type", parse_header_fields(h));
                if (content_type != "text/html") return h;
                data.emplace();
                page = true;
            } else if (h.size() >= HEADER_CAP) {
                if (capped != nullptr) *capped = true;
                return h;
            }
        }
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

std::string get_raw_url(std::string_view body) {
    const auto tag = body.find("HTTP-EQUIV=\"REFRESH\"");
    if (tag == std::string_view::npos) return "";
    const auto key = body.find("url=", tag);
    if (key == std::string_view::npos) return "";
    const auto start = key + 4;
    // The first quote after the target ends it: the last one of the page
    // would take in whatever markup follows.
    const auto quote = body.find('"', start);
    if (quote == std::string_view::npos) return "";
    std::string_view target = trim_blanks(body.substr(start, quote - start));
    // content="0; url='...'": the single quotes are not part of the target.
    if (!target.empty() && target[0] == '\'') {
        target.remove_prefix(1);
        target = trim_blanks(target.substr(0, target.find('\'')));
    }
    if (target.size() > REFRESH_TARGET_MAX) return "";
    return std::string(target);
}

std::optional<std::string> server_target(std::string_view text) {
    const std::string_view t = trim_blanks(text);
    if (has_control_byte(t)) return std::nullopt;
    return std::string(t);
}

std::string resolve_reference(const UrlParts& base, std::string_view ref) {
    if (has_scheme(ref)) return std::string(ref);
    if (ref.substr(0, 2) == "//") return strconcat("http:", ref);
    std::string origin = strconcat("http://", base.host.value_or(""));
    if (base.port != 0 && base.port != 80) origin += ":" + std::to_string(base.port);
    if (!ref.empty() && ref[0] == '/') return origin + std::string(ref);
    const std::string dir = base.dir.value_or("/");
    const std::string file = base.file.value_or("");
    if (ref.empty()) return origin + dir + file;
    if (ref[0] == '?') return origin + dir + file.substr(0, file.find('?')) + std::string(ref);
    return origin + dir + std::string(ref);
}

int http_transfer(ProbeContext& ctx, int retries) {
    if (redirect_count > 10) {
        report(2, "redirection max count exceeded (looping redirect?)");
        redirect_count = 0;
        return finish(ctx, OUTCOME_FAILED);
    }
    const std::shared_ptr<UrlParts> e = ctx.current;
    if (!e->host.has_value() || e->host->empty()) {
        report(2, "no host specified");
        return finish(ctx, OUTCOME_FAILED);
    }
    if (!e->dir.has_value()) e->dir = "/";
    if (!e->file.has_value()) e->file = "";
    if (e->port == 0) e->port = 80;
    if (has_control_byte(*e->host) || has_control_byte(*e->dir) || has_control_byte(*e->file)) {
        report(2, "control character in URL, request not sent\n");
        return finish(ctx, OUTCOME_FAILED);
    }

    Socket s(tcp_connect(*e->host, e->port, retries));
    if (!s) return finish(ctx, OUTCOME_FAILED);
    const std::string request = build_http_request(ctx);
    const int seconds = probe_timeout(retries);
    if (!s.set_receive_timeout(seconds)) return finish(ctx, OUTCOME_FAILED);
    if (s.send_once(request) < 0 && errno == EAGAIN) return finish(ctx, OUTCOME_FAILED);

    const auto deadline = Clock::now() + std::chrono::seconds(REPLY_TIME_FACTOR * seconds);
    // The first bytes: read on until the four that must say "HTTP" are
    // there, however the server's segments cut them.
    char first[8];
    std::size_t n = 0;
    while (n < 4) {
        if (!wait_readable(s.get(), seconds * 1000, deadline)) return finish(ctx, OUTCOME_FAILED);
        const ssize_t got = read_some(s.get(), first + n, sizeof first - n);
        if (got <= 0) return finish(ctx, OUTCOME_FAILED);
        n += static_cast<std::size_t>(got);
    }
    if (std::string_view(first, 4) != "HTTP") return finish(ctx, OUTCOME_FAILED);
    bool capped = false;
    const std::string reply =
        std::string(first, n) + read_http_reply(s.get(), seconds * 1000, deadline, &capped);
    if (data.has_value()) data_source = e;

    if (reply.size() < 10) return finish(ctx, OUTCOME_FAILED);  // no status digit
    const char digit = reply[9];
    // A header block cut at the cap may end inside a line: only whole lines
    // count, so a cut Location is never followed.
    const std::string_view whole =
        capped ? std::string_view(reply).substr(0, reply.rfind('\n') + 1) : std::string_view(reply);
    HeaderList fields = parse_header_fields(whole);
    std::optional<std::string> location = find_header_field("location", fields);
    if (location.has_value()) location = server_target(*location);

    if (digit == '3' && location.has_value()) {
        auto target = url_new();
        url_init(*target, resolve_reference(*e, *location));
        ctx.current = target;  // e stays alive: it is read again below
        ctx.trail.push_back(target->spec.value_or(""));
        ++redirect_count;
        http_transfer(ctx, retries);  // this connection stays open meanwhile
    } else if (digit == '4' || digit == '5') {
        const std::string status_line = reply.substr(0, reply.find('\n'));
        report(2, "HTTP error from server: %s", status_line.c_str());
        return finish(ctx, OUTCOME_FAILED);
    }

    free_header_fields(fields);
    s.reset();
    if (data.has_value()) {
        const auto raw = server_target(get_raw_url(*data));
        const UrlParts& page_url = data_source ? *data_source : *ctx.current;
        if (raw.has_value() && !raw->empty()) {
            ctx.current->spec = resolve_reference(page_url, *raw);
            ctx.trail.push_back(*ctx.current->spec);
        }
        // Taken once: an enclosing redirect call would otherwise apply it
        // again against its own URL.
        data.reset();
        data_source.reset();
    }
    if (e->spec.has_value() && ends_with(*e->spec, ".torrent")) e->kind = KIND_TORRENT;
    if (e->spec.has_value() && ends_with(*e->spec, ".nzb")) e->kind = KIND_NZB;
    return finish(ctx, OUTCOME_REACHABLE);
}
