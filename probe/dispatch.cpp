// The one entry from the detection pass into probing.
#include "dispatch.h"

#include <string>

#include "ftp.h"
#include "host_memory.h"
#include "http.h"
#include "report.h"
#include "url_text.h"

namespace {

// The text of `spec` for the other protocol: the first `skip` characters go
// when the scheme stands anywhere in it, wherever that is, as stored queues
// have always been rewritten.
std::string other_protocol(const std::string& spec, std::string_view scheme,
                           std::string_view new_scheme) {
    std::string rest = spec;
    if (spec.find(scheme) != std::string::npos)
        rest = spec.substr(std::min(scheme.size(), spec.size()));
    return strconcat(new_scheme, rest);
}

// The FTP form of an https URL: its host and path only. Nothing meant for
// TLS (a user name, a password) goes out in the clear.
std::string ftp_form_of_https(const UrlParts& r) {
    const std::string& spec = r.spec.value_or("");
    const auto slash = spec.find('/', std::min(HTTPS_SCHEME.size(), spec.size()));
    return strconcat(FTP_SCHEME, r.host.value_or(""),
                     slash == std::string::npos ? std::string() : spec.substr(slash));
}

// Makes a fresh record parsed from `text` the context's current one.
void switch_to(ProbeContext& ctx, const std::string& text) {
    report_step(ctx.job, "fallback", url_for_people(text));
    auto next = url_new();
    url_init(*next, text);
    ctx.current = next;
    ctx.trail = {next->spec.value_or("")};
}

}  // namespace

int probe_timeout(int retries) {
    if (retries <= 1) return TIMEOUT_SHORT_S;
    return retries == 2 ? TIMEOUT_MIDDLE_S : TIMEOUT_LONG_S;
}

bool check_url(ProbeContext& ctx, int retries) {
    // The fallback is built from the record the dispatch started with, never
    // from a redirect target the first probe made current.
    const std::shared_ptr<UrlParts> start = ctx.current;
    const std::string spec = start->spec.value_or("");
    auto ftp_reached = [&] {
        const int outcome = ftp_transfer(ctx, retries);
        return outcome == OUTCOME_REACHABLE || outcome == OUTCOME_LOGIN_REFUSED;
    };
    switch (start->kind) {
        case KIND_HTTP:
            if (http_transfer(ctx, retries) == OUTCOME_REACHABLE) return true;
            switch_to(ctx, start->tls ? ftp_form_of_https(*start)
                                      : other_protocol(spec, HTTP_SCHEME, FTP_SCHEME));
            return ftp_reached();
        case KIND_FTP:
            if (ftp_reached()) return true;
            switch_to(ctx, other_protocol(spec, FTP_SCHEME, HTTP_SCHEME));
            return http_transfer(ctx, retries) == OUTCOME_REACHABLE;
        case KIND_TORRENT:
        case KIND_NZB:
        case KIND_ED2K:
            start->outcome = OUTCOME_REACHABLE;  // settled by form, no connection
            return true;
        default:
            // The parser never leaves another kind; fail it rather than leave the
            // outcome unset.
            start->outcome = OUTCOME_FAILED;
            return false;
    }
}

std::shared_ptr<UrlParts> url_parser(ProbeTarget target, int retries, ProbeTrace* trace,
                                     Clock::time_point limit) {
    ProbeContext ctx;  // each job has the whole redirect allowance
    ctx.job.limit.at = limit;
    ctx.job.id = host_memory_new_job();
    if (trace != nullptr) {
        ctx.job.said = &trace->said;
        ctx.job.steps = trace->steps;
    }
    ctx.current = std::move(target.record);
    ctx.trail = {ctx.current->spec.value_or("")};
    check_url(ctx, retries);
    if (trace != nullptr) {
        trace->cut = ctx.job.limit.cut;
        trace->trail = std::move(ctx.trail);
    }
    return ctx.current;
}

std::shared_ptr<UrlParts> url_parser(std::string_view text, int retries, ProbeTrace* trace,
                                     Clock::time_point limit) {
    return url_parser(url_target(text), retries, trace, limit);
}

ProbeTarget url_target(std::string_view text) {
    ProbeTarget t;
    t.record = url_new();
    url_init(*t.record, url_trim(text));  // a pasted link's blanks and line ends are not part of it
    t.network = t.record->kind == KIND_HTTP || t.record->kind == KIND_FTP;
    t.host = t.record->host.value_or("");
    string_lowercase(t.host);
    return t;
}
