// Reading a queue file for display, and the table and JSON forms.
#include <cstdio>
#include <cstring>
#include <limits>

#include "escape.h"
#include "jobs.h"

namespace {

template <std::size_t N>
bool has_nul(const char (&field)[N]) {
    return std::memchr(field, '\0', N) != nullptr;
}

std::string hex_escape(const char* prefix, unsigned char b, int width) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%s%0*x", prefix, width, b);
    return buf;
}

// Display columns of a text, a UTF-8 sequence counting as one.
std::size_t columns(const std::string& text) {
    std::size_t cols = 0;
    for (unsigned char c : text)
        cols += (c & 0xc0) != 0x80;
    return cols;
}

std::string pad(const std::string& text, std::size_t width) {
    const std::size_t cols = columns(text);
    return cols >= width ? text : text + std::string(width - cols, ' ');
}

}  // namespace

QueueContents decode_queue(std::string_view bytes, const std::string& path) {
    QueueContents out;
    if (bytes.size() % LOGNOTE_SIZE != 0) {
        out.warnings.push_back(path + ": size " + std::to_string(bytes.size()) +
                               " is not a multiple of " + std::to_string(LOGNOTE_SIZE) +
                               " (the last record is partial)");
    }
    for (std::size_t at = 0; at < bytes.size(); at += LOGNOTE_SIZE) {
        unsigned char rec[LOGNOTE_SIZE] = {};
        const std::size_t n = std::min(LOGNOTE_SIZE, bytes.size() - at);
        std::memcpy(rec, bytes.data() + at, n);
        LogNote& job = out.jobs.emplace_back();
        lognote_decode(rec, job);
        const std::string where = path + ": record " + std::to_string(at / LOGNOTE_SIZE + 1) +
                                  " (id " + std::to_string(job.id) + "): ";
        if (!has_nul(job.url)) out.warnings.push_back(where + "url has no terminating NUL");
        if (!has_nul(job.resolved_url))
            out.warnings.push_back(where + "resolved url has no terminating NUL");
        if (!has_nul(job.type)) out.warnings.push_back(where + "type has no terminating NUL");
    }
    return out;
}

const char* type_meaning(std::string_view type) {
    if (type == TYPE_HTTP) return "HTTP";
    if (type == TYPE_FTP) return "FTP";
    if (type == TYPE_TORRENT) return "torrent";
    if (type == TYPE_NZB) return "NZB";
    if (type == TYPE_UNDETERMINED) return "undetermined";
    if (type == TYPE_ED2K) return "ed2k";
    return type.empty() ? "-" : "?";
}

const char* status_meaning(std::int32_t status) {
    switch (status) {
        case STATUS_WAITING:
            return "waiting";
        case STATUS_DETECTED:
            return "detected";
        case STATUS_LOGIN_REFUSED:
            return "login refused";
        default:
            return "?";
    }
}

std::string display_text(std::string_view bytes) {
    return escape_text(bytes, ESCAPE_CONTROLS | ESCAPE_BACKSLASH | HEX_LOWER);
}

std::string json_string(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7f) {
            out += hex_escape("\\u", c, 4);
        } else if (c >= 0x80) {
            const std::size_t n = utf8_length(s.substr(i));
            if (n == 0) {
                out += hex_escape("\\u", c, 4);
            } else {
                out.append(s.substr(i, n));
                i += n;
                continue;
            }
        } else {
            out += static_cast<char>(c);
        }
        ++i;
    }
    return out + "\"";
}

std::string format_json(const LogNote& job) {
    const char status[2] = {static_cast<char>(job.status), '\0'};
    const bool printable = job.status >= 0x20 && job.status < 0x7f;
    return "{\"id\":" + std::to_string(job.id) +
           ",\"status\":" + (printable ? json_string(status) : std::to_string(job.status)) +
           ",\"type\":" + json_string(field_text(job.type)) +
           ",\"retries\":" + std::to_string(job.retries) +
           ",\"url\":" + json_string(field_text(job.url)) +
           ",\"resolved_url\":" + json_string(field_text(job.resolved_url)) + "}";
}

std::string format_table(const std::vector<LogNote>& jobs) {
    struct Row {
        std::string id, status, type, retries, url, resolved;
    };
    std::vector<Row> rows = {{"ID", "STATUS", "TYPE", "RETRIES", "URL", "RESOLVED URL"}};
    for (const LogNote& j : jobs) {
        const bool printable = j.status >= 0x20 && j.status < 0x7f;
        const std::string code =
            printable ? std::string(1, static_cast<char>(j.status)) : std::to_string(j.status);
        const std::string type = display_text(field_text(j.type));
        rows.push_back({std::to_string(j.id), code + " " + status_meaning(j.status),
                        (type.empty() ? "" : type + " ") + type_meaning(field_text(j.type)),
                        std::to_string(j.retries), display_text(field_text(j.url)),
                        display_text(field_text(j.resolved_url))});
    }
    std::size_t w[5] = {};
    for (const Row& r : rows) {
        const std::string* cols[5] = {&r.id, &r.status, &r.type, &r.retries, &r.url};
        for (int i = 0; i < 5; ++i)
            w[i] = std::max(w[i], columns(*cols[i]));
    }
    std::string out;
    for (const Row& r : rows) {
        out += std::string(w[0] - r.id.size(), ' ') + r.id + "  " + pad(r.status, w[1]) + "  " +
               pad(r.type, w[2]) + "  " + std::string(w[3] - r.retries.size(), ' ') + r.retries +
               "  " + pad(r.url, w[4]) + "  " + r.resolved;
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
        out += "\n";
    }
    return out;
}

std::optional<std::int32_t> next_free_id(const std::vector<LogNote>& jobs) {
    std::int32_t top = 0;
    for (const LogNote& j : jobs)
        top = std::max(top, j.id);
    if (top == std::numeric_limits<std::int32_t>::max()) return std::nullopt;
    return top + 1;
}
