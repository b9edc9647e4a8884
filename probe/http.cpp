// The HTTP probe: the transfer as a loop over the redirects of one job,
// each step a request and the reply it brings.
#include "http.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "kind.h"
#include "http_header.h"
#include "report.h"
#include "url_text.h"

namespace {

// What a reply must begin with, and where its status line ("HTTP/1.0 200")
// has the digit that gives the status class.
constexpr std::string_view REPLY_BEGINS = "HTTP";
constexpr std::size_t STATUS_CLASS_AT = 9;
// The first bytes read that count as the reply's first read.
constexpr std::size_t FIRST_READ = 8;

int finish(ProbeContext& ctx, int outcome) {
    ctx.current->outcome = outcome;
    return outcome;
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

// What a body's first bytes say it is, from those read with the header
// and as many more as come in time (of a chunked body, its chunk data).
std::uint32_t read_body_kind(Transport& conn, ReplyEnd& end, int timeout_ms,
                             Clock::time_point deadline) {
    std::string& start = end.body_start;
    char buf[BODY_SNIFF_MAX];
    for (;;) {
        if (const auto kind = body_kind(start, false)) return *kind;
        if (end.chunks && end.chunks->ended()) return *body_kind(start, true);
        // Unchunked, no byte past the sniffed ones is read.
        const std::size_t want = end.chunks ? sizeof buf : BODY_SNIFF_MAX - start.size();
        const long n = conn.receive(buf, want, timeout_ms, deadline);
        if (n <= 0) return *body_kind(start, true);
        const std::string_view got(buf, static_cast<std::size_t>(n));
        if (!end.chunks) {
            start.append(got);
            continue;
        }
        std::string data;
        end.chunks->decode(got, data);
        start.append(data, 0, BODY_SNIFF_MAX - start.size());
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
std::optional<RefreshTarget> refresh_target(const UrlParts& page, std::string_view raw,
                                            JobState& job) {
    RefreshTarget r{resolve_reference(page, raw)};
    if (starts_with_nocase(r.spec, MAGNET_SCHEME)) r.kind = KIND_TORRENT;
    if (starts_with_nocase(r.spec, ED2K_SCHEME)) r.kind = KIND_ED2K;
    if (r.kind != KIND_HTTP) return r;
    UrlParts t;
    url_init(t, r.spec);
    if (t.kind != KIND_HTTP) return r;
    const std::string parsed = t.spec.value_or("");
    if (!url_request_form(t, RequestForm::HOST_AND_PATH, job)) return std::nullopt;
    if (t.spec != parsed) r.spec = t.spec.value_or("");
    return r;
}

// What one request brought back.
struct Exchange {
    HeaderList fields;                    // of the header block's whole lines
    std::optional<std::string> location;  // fit to follow
    bool redirect = false;                // a 3xx with a Location
    std::optional<std::string> error;     // the status line of a 4xx or 5xx
    std::uint32_t sniffed = KIND_NONE;    // what the body's first bytes show
};

// Puts the current record in the form a request line carries it (the host
// in ASCII, the path escaped, no fragment) with the defaults filled in.
// False, with a line said, when it can't be requested.
bool request_ready(ProbeContext& ctx) {
    UrlParts& e = *ctx.current;
    auto no_host = [&] {
        report(ctx.job, "no host specified");
        return false;
    };
    if (!e.host.has_value() || e.host->empty()) return no_host();
    if (has_control_byte(*e.host) || has_control_byte(e.dir.value_or("")) ||
        has_control_byte(e.file.value_or(""))) {
        report(ctx.job, "control character in URL, request not sent\n");
        return false;
    }
    if (!url_request_form(e, RequestForm::HOST_AND_PATH, ctx.job)) return false;
    if (!ctx.trail.empty()) ctx.trail.back() = e.spec.value_or("");
    if (e.host->empty()) return no_host();
    if (!e.dir.has_value()) e.dir = "/";
    if (!e.file.has_value()) e.file = "";
    if (e.port == 0) e.port = e.tls ? HTTPS_PORT : HTTP_PORT;
    return true;
}

// The first bytes of a reply: read on until the four that must say "HTTP"
// are there, however the server's segments cut them. None when they don't
// come or say something else.
std::optional<std::string> reply_start(Transport& conn, int timeout_ms,
                                       Clock::time_point deadline) {
    std::string block(REPLY_READ_BLOCK, '\0');
    std::size_t n = 0;
    while (n < REPLY_BEGINS.size()) {
        const long got = conn.receive(block.data() + n, block.size() - n, timeout_ms, deadline);
        if (got <= 0) return std::nullopt;
        n += static_cast<std::size_t>(got);
    }
    block.resize(n);
    if (!starts_with(block, REPLY_BEGINS)) return std::nullopt;
    return block;
}

// The verdict a reply's header gives, and what the body's first bytes
// show when nothing else tells what the file is and its type is generic
// (a generic type has no page).
Exchange judge_reply(Transport& conn, const UrlParts& e, const std::string& reply, ReplyEnd& end,
                     int timeout_ms, Clock::time_point deadline) {
    Exchange x;
    const char digit = reply[STATUS_CLASS_AT];
    // A header block cut at the cap may end inside a line: only whole lines
    // count, so a cut Location is never followed.
    const std::string_view whole = end.capped
                                       ? std::string_view(reply).substr(0, reply.rfind('\n') + 1)
                                       : std::string_view(reply);
    x.fields = parse_header_fields(whole);
    x.location = find_header_field("location", x.fields);
    if (x.location.has_value()) x.location = server_target(*x.location);
    x.redirect = digit == '3' && x.location.has_value();
    if (!x.redirect && (digit == '4' || digit == '5')) {
        x.error = reply.substr(0, reply.find('\n'));
    } else if (!x.redirect && end.header_whole &&
               !told_kind(e.spec.value_or(""), e.kind, declared_kind(x.fields)) &&
               content_type_generic(find_header_field("content-type", x.fields))) {
        x.sniffed = read_body_kind(conn, end, timeout_ms, deadline);
    }
    return x;
}

// The request text for the context's current record.
std::string build_http_request(const ProbeContext& ctx) {
    const UrlParts& e = *ctx.current;
    const auto agent = header_env("GRELT_HTTP_USER_AGENT");
    const auto referer = header_env("GRELT_HTTP_REFERER");
    // The port belongs in the Host line when it is not the scheme's own:
    // servers build absolute redirects from it.
    const std::string host = host_and_port(e);
    std::string req =
        strconcat("GET ", e.dir.value_or(""), e.file.value_or(""), " HTTP/1.0\r\n", "Host: ", host,
                  "\r\n", "User-Agent: ", agent.value_or(DEFAULT_USER_AGENT), "\r\n");
    if (referer) req += strconcat("Referer: ", *referer, "\r\n");
    return req + "\r\n";
}

// One request for the current record and its reply, on a connection of
// its own that is closed before anything it names is probed. None when no
// reply with a status came.
std::optional<Exchange> exchange(ProbeContext& ctx, int retries) {
    const std::shared_ptr<UrlParts> e = ctx.current;
    const std::unique_ptr<Transport> conn =
        e->tls ? tls_transport(ctx.job) : plain_transport(ctx.job);
    if (!conn->open(*e->host, e->port, retries)) return std::nullopt;
    const int timeout_ms = probe_timeout(retries) * 1000;
    const std::string request = build_http_request(ctx);
    report_step(ctx.job, "request", std::string_view(request).substr(0, request.find('\r')));
    if (!conn->send(request)) return std::nullopt;

    const auto deadline = Clock::now() + std::chrono::milliseconds(REPLY_TIME_FACTOR * timeout_ms);
    const auto start = reply_start(*conn, timeout_ms, deadline);
    if (!start) return std::nullopt;
    // Up to FIRST_READ bytes count as the first read; the rest go on to the
    // reply reader.
    const std::size_t first = std::min(start->size(), FIRST_READ);
    ReplyEnd end;
    const std::string reply =
        start->substr(0, first) + read_http_reply(*conn, ctx, timeout_ms, deadline, &end,
                                                  std::string_view(*start).substr(first));
    if (ctx.data.has_value()) ctx.data_source = e;
    report_step(ctx.job, "reply", std::string_view(reply).substr(0, reply.find('\n')));
    if (reply.size() <= STATUS_CLASS_AT) return std::nullopt;  // no status digit
    return judge_reply(*conn, *e, reply, end, timeout_ms, deadline);
}

// Makes the redirect target of `from` the current record.
void follow(ProbeContext& ctx, const UrlParts& from, const std::string& location) {
    auto target = url_new();
    url_init(*target, resolve_reference(from, location));
    ctx.current = target;
    ctx.trail.push_back(target->spec.value_or(""));
    report_step(ctx.job, "redirect", url_for_people(ctx.trail.back()));
    ++ctx.redirect_count;
}

// The meta refresh target of the page last read, if any, as the current
// record's spec. Taken once.
void take_refresh(ProbeContext& ctx) {
    if (!ctx.data.has_value()) return;
    const auto raw = server_target(ctx.data->target());
    const UrlParts& page_url = ctx.data_source ? *ctx.data_source : *ctx.current;
    if (raw.has_value() && !raw->empty()) {
        if (const auto target = refresh_target(page_url, *raw, ctx.job)) {
            ctx.current->spec = target->spec;
            // A magnet or ed2k link is settled as a Location to it is.
            if (target->kind != KIND_HTTP) ctx.current->kind = target->kind;
            ctx.trail.push_back(*ctx.current->spec);
            report_step(ctx.job, "refresh", url_for_people(ctx.trail.back()));
        }
    }
    ctx.data.reset();
    ctx.data_source.reset();
}

// The kind of a reached URL: what tells it, else what its first bytes
// show, else as it was.
void settle_kind(UrlParts& e, const Exchange& x) {
    const auto told = told_kind(e.spec.value_or(""), e.kind, declared_kind(x.fields));
    e.kind = told ? *told : x.sniffed != KIND_NONE ? x.sniffed : e.kind;
}

}  // namespace

int http_transfer(ProbeContext& ctx, int retries) {
    bool followed = false;
    for (;;) {
        if (ctx.redirect_count > MAX_REDIRECTS) {
            report(ctx.job, "redirection max count exceeded (looping redirect?)");
            ctx.redirect_count = 0;
            finish(ctx, OUTCOME_FAILED);
            break;
        }
        const std::shared_ptr<UrlParts> e = ctx.current;
        std::optional<Exchange> x;
        if (request_ready(ctx)) x = exchange(ctx, retries);
        if (!x) {
            finish(ctx, OUTCOME_FAILED);
            break;
        }
        if (x->redirect) {
            follow(ctx, *e, *x->location);
            followed = true;
            continue;
        }
        if (x->error) {
            report(ctx.job, "HTTP error from server: %s", x->error->c_str());
            finish(ctx, OUTCOME_FAILED);
            break;
        }
        take_refresh(ctx);
        settle_kind(*e, *x);
        finish(ctx, OUTCOME_REACHABLE);
        break;
    }
    // A redirect counts as reached wherever its chain ends; the last page
    // read is still searched for a refresh target.
    if (!followed) return ctx.current->outcome;
    take_refresh(ctx);
    return finish(ctx, OUTCOME_REACHABLE);
}
