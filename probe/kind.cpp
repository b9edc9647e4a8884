// Torrent and NZB files known by their URL, by what the server declares,
// or by their first bytes when the server calls them by a generic type.
#include "kind.h"

#include <cctype>

#include "probe.h"
#include "text.h"

namespace {

// The keys a torrent file's dictionary begins with (bencoded dictionaries
// keep their keys sorted, and these are the ones that sort first).
constexpr std::string_view TORRENT_KEYS[] = {"announce",   "announce-list", "info",
                                             "created by", "creation date", "comment",
                                             "encoding",   "url-list"};

// True while `text` could still grow into `word` (it is a start of it).
bool could_become(std::string_view text, std::string_view word) {
    return text.size() < word.size() && starts_with(word, text);
}

std::optional<std::uint32_t> bencoded_torrent(std::string_view b) {
    std::size_t p = 1;  // after the 'd'
    std::size_t len = 0;
    while (p < b.size() && std::isdigit(static_cast<unsigned char>(b[p]))) {
        if ((p == 1 && b[p] == '0') || p > 2) return KIND_NONE;  // no key is that long
        len = len * 10 + static_cast<std::size_t>(b[p] - '0');
        ++p;
    }
    if (p == b.size()) return std::nullopt;
    if (p == 1 || b[p] != ':') return KIND_NONE;
    const std::string_view key = b.substr(p + 1, len);
    for (const std::string_view k : TORRENT_KEYS) {
        if (k.size() != len) continue;
        if (key == k) return KIND_TORRENT;
        if (could_become(key, k)) return std::nullopt;
    }
    return KIND_NONE;
}

std::optional<std::uint32_t> xml_nzb(std::string_view b) {
    constexpr std::string_view bom = "\xEF\xBB\xBF";
    if (could_become(b, bom)) return std::nullopt;
    if (starts_with(b, bom)) b.remove_prefix(bom.size());
    // What may stand before the root element: blanks, the declaration (or
    // another processing instruction), comments and a DOCTYPE.
    struct Skip {
        std::string_view open, close;
    };
    constexpr Skip skips[] = {{"<?", "?>"}, {"<!--", "-->"}, {"<!DOCTYPE", ">"}};
    for (;;) {
        while (!b.empty() && is_blank(b.front()))
            b.remove_prefix(1);
        if (b.empty()) return std::nullopt;
        if (b.front() != '<') return KIND_NONE;
        bool skipped = false;
        for (const Skip& s : skips) {
            if (could_become(b, s.open)) return std::nullopt;
            if (!starts_with(b, s.open)) continue;
            std::size_t from = s.open.size();
            // A DOCTYPE's internal subset may hold '>'.
            if (s.open == "<!DOCTYPE") {
                const auto bracket = b.find('[', from);
                if (bracket != std::string_view::npos && bracket < b.find('>', from)) {
                    from = b.find(']', bracket);
                    if (from == std::string_view::npos) return std::nullopt;
                }
            }
            const auto end = b.find(s.close, from);
            if (end == std::string_view::npos) return std::nullopt;
            b.remove_prefix(end + s.close.size());
            skipped = true;
            break;
        }
        if (skipped) continue;
        if (b.size() < 5)
            return could_become(b, "<nzb") || b == "<nzb" ? std::nullopt : std::optional(KIND_NONE);
        return starts_with(b, "<nzb") && (is_blank(b[4]) || b[4] == '>' || b[4] == '/') ? KIND_NZB
                                                                                        : KIND_NONE;
    }
}

}  // namespace

std::optional<std::uint32_t> body_kind(std::string_view start, bool complete) {
    start = start.substr(0, BODY_SNIFF_MAX);
    std::optional<std::uint32_t> kind = std::nullopt;
    if (!start.empty()) kind = start[0] == 'd' ? bencoded_torrent(start) : xml_nzb(start);
    if (!kind && (complete || start.size() >= BODY_SNIFF_MAX)) return KIND_NONE;
    return kind;
}

std::uint32_t suffix_kind(std::string_view text, bool any_case) {
    constexpr std::string_view TORRENT = ".torrent", NZB = ".nzb";
    const auto ends = any_case ? ends_with_nocase : ends_with;
    if (ends(text, TORRENT)) return KIND_TORRENT;
    if (ends(text, NZB)) return KIND_NZB;
    return KIND_NONE;
}

std::uint32_t kind_by_suffix(std::string_view spec, std::uint32_t kind) {
    const std::uint32_t by_suffix = suffix_kind(spec);
    return by_suffix != KIND_NONE ? by_suffix : kind;
}

std::uint32_t path_kind(std::string_view spec) {
    return suffix_kind(spec.substr(0, spec.find_first_of("?#")), true);
}

std::optional<std::uint32_t> told_kind(std::string_view spec, std::uint32_t kind,
                                       std::uint32_t declared) {
    if (const std::uint32_t by_suffix = suffix_kind(spec); by_suffix != KIND_NONE) return by_suffix;
    if (kind != KIND_HTTP) return kind;
    if (declared != KIND_NONE) return declared;
    if (const std::uint32_t by_path = path_kind(spec); by_path != KIND_NONE) return by_path;
    return std::nullopt;
}
