// Fuzzes what is new in reading a server's reply: chunked framing, cut at
// 0xFF bytes into the pieces it arrives in (decoded piece by piece it must
// give what decoding it whole gives, never more data than it holds), and
// references resolved against a base (the input up to its first 0xFE is
// the base URL, the rest the reference): a relative one keeps the base's
// origin, and a relative path loses its dot segments.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "chunked.h"
#include "text.h"
#include "url.h"

namespace {

void check_chunks(std::string_view input) {
    ChunkedBody pieces, whole;
    std::string by_pieces, at_once, raw;
    for (std::string_view rest = input;;) {
        const auto cut = rest.find('\xff');
        const std::string_view piece = rest.substr(0, cut);
        pieces.decode(piece, by_pieces);
        raw.append(piece);
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    whole.decode(raw, at_once);
    if (by_pieces != at_once || pieces.ended() != whole.ended()) std::abort();
    if (at_once.size() > raw.size()) std::abort();
    if (whole.ended()) {  // nothing is taken after the end
        std::string more;
        whole.decode(raw, more);
        if (!more.empty()) std::abort();
    }
}

// True when `path` still holds a "." or ".." segment.
bool has_dot_segment(std::string_view path) {
    for (std::size_t at = 0; at < path.size();) {
        const auto end = std::min(path.find('/', at + 1), path.size());
        const std::string_view segment = path.substr(at + 1, end - at - 1);
        if (segment == "." || segment == "..") return true;
        at = end;
    }
    return false;
}

void check_reference(std::string_view input) {
    const auto cut = input.find('\xfe');
    if (cut == std::string_view::npos) return;
    UrlParts base;
    url_init(base, input.substr(0, cut));
    if (!starts_with(base.dir.value_or("/"), "/")) return;  // a port with letters after it
    const std::string_view ref = input.substr(cut + 1);
    const std::string to = resolve_reference(base, ref);
    if (ref.find(':') != std::string_view::npos || starts_with(ref, "//")) return;
    const std::string origin = std::string(base.tls ? "https://" : "http://") + host_and_port(base);
    if (!starts_with(to, origin)) std::abort();
    const std::string_view rest = std::string_view(to).substr(origin.size());
    const std::string_view path = rest.substr(0, rest.find_first_of("?#"));
    if (path.empty() || path[0] != '/') std::abort();
    // "?y" and "#s" keep the base's path as it is.
    if (ref.find_first_of("?#") != 0 && !ref.empty() && has_dot_segment(path)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(bytes), size);
    check_chunks(input);
    check_reference(input);
    return 0;
}
