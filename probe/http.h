// The HTTP probe: one HTTP/1.0 GET, over TLS for https, redirects followed,
// a meta refresh taken as the job's URL, torrent and NZB files told by their
// ending or by what the server declares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "transport.h"
#include "url.h"

/// A reply's header block stops being read past this size, its page past
/// PAGE_CAP, and the whole reply after REPLY_TIME_FACTOR class time-outs:
/// a hostile server can't exhaust a router's memory or hold the run.
inline constexpr std::size_t HEADER_CAP = std::size_t{64} * 1024;
inline constexpr std::size_t PAGE_CAP = std::size_t{1024} * 1024;
inline constexpr int REPLY_TIME_FACTOR = 4;
/// Redirects one job follows; the next one is refused.
inline constexpr int MAX_REDIRECTS = 10;
/// Longest header value looked at for a declared type.
inline constexpr std::size_t DECLARED_VALUE_MAX = 1024;
/// Sent when GRELT_HTTP_USER_AGENT is unset.
inline constexpr const char* DEFAULT_USER_AGENT = "grelt/7.0 (http://qv2-detect.invalid/)";

/// Probes the context's current record: OUTCOME_REACHABLE or
/// OUTCOME_FAILED, also stored in the record current at the end (a
/// redirect makes its target current).
int http_transfer(ProbeContext& context, int retries);

/// The request text for the context's current record.
std::string build_http_request(const ProbeContext& context);

/// Bytes of a body looked at to tell a torrent or NZB file by its start.
inline constexpr std::size_t BODY_SNIFF_MAX = 1024;

/// How read_http_reply ended.
struct ReplyEnd {
    /// The header block was cut at HEADER_CAP: its last line may be cut short.
    bool capped = false;
    /// The header block came whole (its blank line was read).
    bool header_whole = false;
    /// What was read past a whole header block that starts no page, up to
    /// BODY_SNIFF_MAX bytes: the start of the body.
    std::string body_start;
};

/// Reads the rest of the header block (and the page, for "text/html")
/// from `conn`, each wait at most `timeout_ms` and all before `deadline`;
/// sets the context's data and content_type. A page is scanned as it
/// arrives, up to PAGE_CAP bytes or until its refresh target is decided.
/// `read_ahead` holds bytes already read past the first ones; they are
/// taken before anything more is read.
std::string read_http_reply(Transport& conn, ProbeContext& context, int timeout_ms,
                            Clock::time_point deadline, ReplyEnd* end = nullptr,
                            std::string_view read_ahead = {});

/// One field of a reply's header block.
struct HeaderField {
    std::string name;  ///< lowercased
    std::string value;
};
using HeaderList = std::vector<HeaderField>;

HeaderList list_new();
/// Appends `item`; the field now in the list.
HeaderField& list_append(HeaderList& list, HeaderField item);
/// The fields of a header block, skipping its first line.
HeaderList parse_header_fields(std::string_view text);
/// The value of the first field named exactly `name`, or none.
std::optional<std::string> find_header_field(std::string_view name, const HeaderList& list);
void free_header_fields(HeaderList& list);
/// Lowercases ASCII letters in place.
std::string& string_lowercase(std::string& text);

/// A URL a server sent (Location, refresh target) fit to follow and to
/// store: blanks around it trimmed; none when it still holds a control
/// byte, which must never reach the wire or the queue.
std::optional<std::string> server_target(std::string_view text);

/// `ref` (a Location value or refresh target) made absolute against the
/// URL of `base`, the way browsers resolve the common forms: a relative
/// one keeps the scheme, host and port of the base.
std::string resolve_reference(const UrlParts& base, std::string_view ref);

/// The kind a body's first bytes show: KIND_TORRENT for a bencoded
/// dictionary whose first key is one a torrent file begins with (announce,
/// info, ...), KIND_NZB for XML (after a byte-order mark, blanks, its
/// declaration, comments and a DOCTYPE) whose root element is nzb,
/// KIND_NONE for anything else. None while `start` is too short to tell,
/// unless `complete` says no more will come. Only BODY_SNIFF_MAX bytes
/// count.
std::optional<std::uint32_t> body_kind(std::string_view start, bool complete);
/// True for a Content-Type (none: absent) that says nothing of what a body
/// is, so that its first bytes may: application/octet-stream, text/plain,
/// text/xml and the like. Never text/html.
bool content_type_generic(const std::optional<std::string>& type);
/// KIND_TORRENT or KIND_NZB when the path of a URL (before any "?" or "#")
/// ends in ".torrent" or ".nzb" in any case, else KIND_NONE.
std::uint32_t path_kind(std::string_view spec);

/// The kind a reply's fields declare: KIND_TORRENT for a Content-Type of
/// application/x-bittorrent or a Content-Disposition file name ending in
/// ".torrent", KIND_NZB likewise for application/x-nzb and ".nzb";
/// KIND_NONE when they declare neither (or are malformed).
std::uint32_t declared_kind(const HeaderList& fields);
