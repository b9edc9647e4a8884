#include "queue_file.h"

#include <algorithm>
#include <cstring>
#include <ostream>

namespace {

void put32(std::string& rec, std::size_t at, std::uint32_t v) {
    std::memcpy(&rec[at], &v, 4);  // host byte order, as the file holds it
}
std::uint32_t get32(const std::string& bytes, std::size_t at) {
    std::uint32_t v;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}
void put_text(std::string& rec, std::size_t at, std::size_t width, const std::string& text) {
    std::memcpy(&rec[at], text.data(), std::min(text.size(), width));
}
std::string get_text(const std::string& bytes, std::size_t at, std::size_t width) {
    const char* p = bytes.data() + at;
    return std::string(p, strnlen(p, width));
}

}  // namespace

std::string queue_record(const QueueRec& r) {
    std::string rec(REC_SIZE, '\0');
    put32(rec, 0, static_cast<std::uint32_t>(r.id));
    put_text(rec, 4, 512, r.url);
    put_text(rec, 516, 512, r.resolved_url);
    put_text(rec, 1028, 12, r.type);
    put32(rec, 1040, static_cast<std::uint32_t>(r.status));
    put32(rec, 1044, static_cast<std::uint32_t>(r.retries));
    put32(rec, 1048, r.link);
    return rec;
}

std::string queue_bytes(const std::vector<QueueRec>& recs) {
    std::string out;
    for (const auto& r : recs)
        out += queue_record(r);
    return out;
}

std::vector<QueueRec> parse_queue(const std::string& bytes) {
    std::vector<QueueRec> out;
    for (std::size_t at = 0; at + REC_SIZE <= bytes.size(); at += REC_SIZE) {
        const std::string rec = bytes.substr(at, REC_SIZE);
        QueueRec r;
        r.id = static_cast<std::int32_t>(get32(rec, 0));
        r.url = get_text(rec, 4, 512);
        r.resolved_url = get_text(rec, 516, 512);
        r.type = get_text(rec, 1028, 12);
        r.status = static_cast<std::int32_t>(get32(rec, 1040));
        r.retries = static_cast<std::int32_t>(get32(rec, 1044));
        r.link = get32(rec, 1048);
        out.push_back(r);
    }
    return out;
}

QueueRec waiting(std::int32_t id, const std::string& url, std::int32_t retries) {
    QueueRec r;
    r.id = id;
    r.url = url;
    r.retries = retries;
    return r;
}

bool operator==(const QueueRec& a, const QueueRec& b) {
    // The link field carries no information.
    return a.id == b.id && a.url == b.url && a.resolved_url == b.resolved_url && a.type == b.type &&
           a.status == b.status && a.retries == b.retries;
}

std::ostream& operator<<(std::ostream& os, const QueueRec& r) {
    return os << "{id " << r.id << ", url \"" << r.url << "\", resolved \"" << r.resolved_url
              << "\", type \"" << r.type << "\", status '" << static_cast<char>(r.status)
              << "', retries " << r.retries << "}";
}
