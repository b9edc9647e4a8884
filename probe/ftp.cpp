// The FTP probe. Reply data is looked at each time a read ends it at a line
// end; a line split between reads is put together first.
#include "ftp.h"

#include <chrono>
#include <memory>
#include <vector>

#include "host_memory.h"
#include "kind.h"
#include "report.h"
#include "text.h"
#include "url_text.h"

namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool looks_like_reply(std::string_view line) {
    return line.size() >= 4 && is_digit(line[0]) && line[3] == ' ';
}

// FTP_PORT, user "anonymous", password "vexil@", each only where unset.
void apply_ftp_defaults(UrlParts& parts) {
    if (parts.port == 0) parts.port = FTP_PORT;
    if (!parts.user.has_value()) parts.user = "anonymous";
    if (!parts.password.has_value()) parts.password = "vexil@";
}

// The pieces joined (up to a null), sent on the control connection with
// one write, its result unexamined: a lost command shows as a missing
// reply.
template <typename... Pieces>
void send_control(Transport& conn, const Pieces&... pieces) {
    (void)conn.send(strconcat(pieces...));
}

int finish(UrlParts& parts, int outcome) {
    parts.outcome = outcome;
    return outcome;
}

// USER, and PASS when the server asks for it: OUTCOME_REACHABLE once
// logged in, else OUTCOME_FAILED or OUTCOME_LOGIN_REFUSED.
int log_in(Transport& conn, const UrlParts& parts, int retries) {
    JobState& job = conn.job();
    send_control(conn, "USER ", *parts.user, "\r\n");
    report_step(job, "command", strconcat("USER ", *parts.user));
    const auto user_reply = get_line(conn, retries);
    if (user_reply) report_step(job, "reply", *user_reply);
    if (!user_reply) return OUTCOME_FAILED;
    if (reply_code_is("331", *user_reply)) {
        send_control(conn, "PASS ", *parts.password, "\r\n");
        report_step(job, "command", "PASS (not shown)");
        const auto pass_reply = get_line(conn, retries);
        if (pass_reply) report_step(job, "reply", *pass_reply);
        if (!pass_reply || !reply_code_is("230", *pass_reply)) {
            report(job, "login failed");
            return OUTCOME_LOGIN_REFUSED;
        }
    } else if (!reply_code_is("230", *user_reply)) {
        report(job, "bad/unexpected response: %s", user_reply->c_str());
        return OUTCOME_LOGIN_REFUSED;
    }
    return OUTCOME_REACHABLE;
}

}  // namespace

bool reply_code_is(std::string_view code, std::string_view line) {
    for (std::size_t i = 0; i < 3; ++i) {
        if (i >= line.size() || i >= code.size() || line[i] != code[i]) return false;
    }
    return true;
}

ReplyFrame frame_reply(std::string_view got) {
    if (got.empty()) return {ReplyFrame::MORE, ""};
    if (got[0] == '4' || got[0] == '5') return {ReplyFrame::ERROR_REPLY, ""};
    std::size_t len = got.size();
    if (got.back() == '\n') len = got.size() - 1;
    if (got.size() >= 2 && got[got.size() - 2] == '\r') len = std::min(len, got.size() - 2);
    std::string_view text = got.substr(0, len);
    text = text.substr(0, text.find('\0'));  // the text ends at a zero byte
    if (looks_like_reply(text)) return {ReplyFrame::LINE, std::string(text)};
    const auto nl = text.rfind('\n');
    if (nl != std::string_view::npos && looks_like_reply(text.substr(nl + 1)))
        return {ReplyFrame::LINE, std::string(text.substr(nl + 1))};
    return {ReplyFrame::MORE, ""};
}

std::optional<std::string> get_line(Transport& conn, int retries) {
    const int seconds = probe_timeout(retries);
    const auto deadline = Clock::now() + std::chrono::seconds(LINE_TIME_FACTOR * seconds);
    // What came since the last complete line: a line split between reads
    // is put together before it is looked at.
    std::string pending;
    auto error_reply = [&] {
        if (pending.empty() || (pending[0] != '4' && pending[0] != '5')) return false;
        report_raw(conn.job(), pending);
        return true;
    };
    std::vector<char> buf(REPLY_READ_SIZE);
    for (;;) {
        // pending never grows past one read's worth
        const long n =
            conn.receive(buf.data(), buf.size() - pending.size(), seconds * 1000, deadline);
        if (n <= 0) {  // time-out, closed or reset: a cut error reply still shows
            error_reply();
            return std::nullopt;
        }
        pending.append(buf.data(), static_cast<std::size_t>(n));
        const bool line_ended = pending.back() == '\n';
        if (pending[0] == '4' || pending[0] == '5') {
            if (!line_ended && pending.size() < REPLY_READ_SIZE) continue;
            error_reply();
            return std::nullopt;
        }
        const ReplyFrame f = frame_reply(pending);
        if (f.kind == ReplyFrame::LINE) return f.line;
        // Complete lines that are no reply (continuation lines) are done
        // with; so is a line too long to be one.
        if (line_ended || pending.size() >= REPLY_READ_SIZE) pending.clear();
    }
}

int ftp_transfer(ProbeContext& context, int retries) {
    const std::shared_ptr<UrlParts> parts = context.current;
    apply_ftp_defaults(*parts);
    if (has_control_byte(*parts->user) || has_control_byte(*parts->password)) {
        report(context.job, "control character in FTP login, command not sent\n");
        return finish(*parts, OUTCOME_FAILED);
    }
    // An international host name is looked up, and written back, in ASCII.
    if (!url_request_form(*parts, RequestForm::HOST, context.job))
        return finish(*parts, OUTCOME_FAILED);
    if (!context.trail.empty()) context.trail.back() = parts->spec.value_or("");
    const std::unique_ptr<Transport> conn = plain_transport(context.job);
    if (!conn->open(parts->host.value_or(""), parts->port, retries))
        return finish(*parts, OUTCOME_FAILED);

    // A server that accepts and then never greets is not waited for again
    // by the run's later jobs on it; one that greets too slowly is.
    const auto since = Clock::now();
    const auto greeting = get_line(*conn, retries);
    if (greeting) report_step(context.job, "reply", *greeting);
    if (!greeting) {
        if (conn->timed_out() && !conn->heard())
            host_remember_silent(context.job, *parts->host, parts->port, probe_timeout(retries),
                                 since);
        return finish(*parts, OUTCOME_FAILED);
    }
    if (!reply_code_is("220", *greeting)) {
        report(context.job, "bad server greeting: %s", greeting->c_str());
        return finish(*parts, OUTCOME_FAILED);
    }
    const int outcome = log_in(*conn, *parts, retries);
    if (outcome != OUTCOME_REACHABLE) return finish(*parts, outcome);
    conn->close();  // logged in: no QUIT
    parts->kind = kind_by_suffix(parts->spec.value_or(""), parts->kind);
    return finish(*parts, OUTCOME_REACHABLE);
}
