// The header block of a reply. It is read in blocks but examined byte by
// byte, so the verdict, the header text and the page are what reading it
// one byte per read gives; bytes read past a header block that starts no
// page are kept as the start of the body, for the body rules.
#include "http_header.h"

#include <algorithm>

#include "kind.h"
#include "text.h"

namespace {

// The file name a Content-Disposition value gives: filename*= (its charset
// and language prefix dropped, percent escapes kept) before filename=
// (quoted or bare). None when there is none.
std::optional<std::string> disposition_file_name(std::string_view value) {
    constexpr std::string_view KEY = "filename";
    const std::string v = lowercase(value);
    std::optional<std::string> plain;
    for (std::size_t at = 0; (at = v.find(KEY, at)) != std::string::npos; at += KEY.size()) {
        if (at > 0 && v[at - 1] != ';' && !is_space(v[at - 1])) continue;
        std::size_t p = at + KEY.size();
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
            name = std::string(trim_space(name));
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

// The media type of a Content-Type value: before any ";", without the
// blanks around it, lowercased.
std::string media_type(std::string_view content_type) {
    return lowercase(trim_space(content_type.substr(0, content_type.find(';'))));
}

// True when the body comes in chunks: "chunked" is the last coding that
// Transfer-Encoding names.
bool body_chunked(const HeaderList& fields) {
    const auto te = find_header_field("transfer-encoding", fields);
    if (!te) return false;
    const std::string_view last = std::string_view(*te).substr(te->rfind(',') + 1);
    return lowercase(trim_space(last)) == "chunked";
}

// A reply's header block read byte by byte from the pieces that come, then
// its page at once: a state of the read in steps.
class ReplyReader {
  public:
    ReplyReader(ProbeContext& ctx, ReplyEnd& how) : ctx_(ctx), how_(how) {}
    // Takes the next piece read; true once the reply has been read far
    // enough.
    bool piece(std::string_view bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (ctx_.data.has_value()) return page(bytes.substr(i));
            if (take(bytes[i])) {
                done(bytes, i + 1);
                return true;
            }
        }
        return false;
    }
    const std::string& header() const { return h_; }

  private:
    // The page: as much of `bytes` as the cap allows, at once. True once
    // the page has been read far enough. A chunked page's cap counts its
    // framing too.
    bool page(std::string_view bytes) {
        std::size_t n = 0;
        for (; n < bytes.size() && page_bytes_ < PAGE_CAP; ++n)
            if (bytes[n] != '\0' || how_.chunks)
                ++page_bytes_;  // a zero byte is not part of the page
        if (!how_.chunks) {
            ctx_.data->feed(bytes.substr(0, n));
            return page_bytes_ >= PAGE_CAP || ctx_.data->decided();
        }
        std::string data;
        how_.chunks->decode(bytes.substr(0, n), data);
        ctx_.data->feed(data);
        return page_bytes_ >= PAGE_CAP || ctx_.data->decided() || how_.chunks->ended();
    }
    // Each byte of the header in turn; true once the reply has been read
    // far enough.
    bool take(char c) {
        if (c != '\0') h_ += c;
        const bool bare = ends_with(h_, "\n\n");
        if (bare || ends_with(h_, "\r\n\r\n")) {
            how_.header_whole = true;
            const HeaderList fields = parse_header_fields(h_);
            if (body_chunked(fields)) how_.chunks.emplace();
            if (bare) return true;  // no page after bare line feeds
            if (find_header_field("content-type", fields) != "text/html") return true;
            ctx_.data.emplace();
        } else if (h_.size() >= HEADER_CAP) {
            how_.capped = true;
            return true;
        }
        return false;
    }
    // Done with the bytes up to `used` of `bytes`: what follows a header
    // that starts no page is the start of the body (of a chunked one, the
    // framing takes all of it, so that it goes on from there).
    void done(std::string_view bytes, std::size_t used) {
        if (!how_.header_whole || ctx_.data.has_value()) return;
        if (!how_.chunks) {
            how_.body_start = std::string(bytes.substr(used, BODY_SNIFF_MAX));
            return;
        }
        how_.chunks->decode(bytes.substr(used), how_.body_start);
        how_.body_start.resize(std::min(how_.body_start.size(), BODY_SNIFF_MAX));
    }

    ProbeContext& ctx_;
    ReplyEnd& how_;
    std::string h_;
    std::size_t page_bytes_ = 0;
};

}  // namespace

std::string read_http_reply(Transport& conn, ProbeContext& ctx, int timeout_ms,
                            Clock::time_point deadline, ReplyEnd* end,
                            std::string_view read_ahead) {
    ctx.data.reset();
    ctx.data_source.reset();
    ReplyEnd unused;
    ReplyEnd& how = end != nullptr ? *end : unused;
    how = ReplyEnd{};
    ReplyReader reader(ctx, how);
    if (reader.piece(read_ahead)) return reader.header();
    char buf[REPLY_READ_BLOCK];
    for (;;) {
        const long n = conn.receive(buf, sizeof buf, timeout_ms, deadline);
        if (n <= 0 || reader.piece(std::string_view(buf, static_cast<std::size_t>(n))))
            return reader.header();
    }
}

HeaderList parse_header_fields(std::string_view text) {
    HeaderList list;
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
        list.push_back({std::move(name), std::move(value)});
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

std::uint32_t declared_kind(const HeaderList& fields) {
    auto value = [&](std::string_view name) -> std::optional<std::string> {
        auto v = find_header_field(name, fields);
        if (!v || v->size() > DECLARED_VALUE_MAX) return std::nullopt;
        return v;
    };
    if (const auto type = value("content-type")) {
        const std::string media = media_type(*type);
        if (media == "application/x-bittorrent") return KIND_TORRENT;
        if (media == "application/x-nzb") return KIND_NZB;
    }
    if (const auto disposition = value("content-disposition")) {
        if (const auto name = disposition_file_name(*disposition)) {
            return suffix_kind(*name, true);
        }
    }
    return KIND_NONE;
}

bool content_type_generic(const std::optional<std::string>& type) {
    if (!type) return true;
    const std::string media = media_type(*type);
    constexpr std::string_view generic[] = {"application/octet-stream",
                                            "binary/octet-stream",
                                            "application/force-download",
                                            "application/download",
                                            "application/x-download",
                                            "text/plain",
                                            "text/xml",
                                            "application/xml"};
    return std::find(std::begin(generic), std::end(generic), media) != std::end(generic);
}
