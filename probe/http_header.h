// An HTTP reply's header block: read from the connection (with the page
// that may follow it, for its meta refresh), split into fields, and what
// its fields declare the body to be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "chunked.h"
#include "transport.h"
#include "url.h"

/// How read_http_reply ended.
struct ReplyEnd {
    /// The header block was cut at HEADER_CAP: its last line may be cut short.
    bool capped = false;
    /// The header block came whole (its blank line was read).
    bool header_whole = false;
    /// What was read past a whole header block that starts no page, up to
    /// BODY_SNIFF_MAX bytes: the start of the body, kept for the body rules
    /// (its chunk data, for a chunked body).
    std::string body_start;
    /// For a chunked body (page or not): where its framing stands after
    /// what was read.
    std::optional<ChunkedBody> chunks;
};

/// Reads the rest of the header block (and the page, for "text/html",
/// its chunk data when it comes in chunks) from `conn`, each wait at most `timeout_ms` and all
/// before `deadline`; sets the context's data. A page is scanned as it arrives, up
/// to PAGE_CAP bytes or until its refresh target is decided. `read_ahead` holds bytes already read
/// past the first ones; they are taken before anything more is read.
std::string read_http_reply(Transport& conn, ProbeContext& context, int timeout_ms,
                            Clock::time_point deadline, ReplyEnd* end = nullptr,
                            std::string_view read_ahead = {});

/// One field of a reply's header block.
struct HeaderField {
    std::string name;  ///< lowercased
    std::string value;
};
using HeaderList = std::vector<HeaderField>;

/// The fields of a header block, skipping its first line.
HeaderList parse_header_fields(std::string_view text);
/// The value of the first field named exactly `name`, or none.
std::optional<std::string> find_header_field(std::string_view name, const HeaderList& list);

/// The kind a reply's fields declare: KIND_TORRENT for a Content-Type of
/// application/x-bittorrent or a Content-Disposition file name ending in
/// ".torrent", KIND_NZB likewise for application/x-nzb and ".nzb";
/// KIND_NONE when they declare neither (or are malformed).
std::uint32_t declared_kind(const HeaderList& fields);

/// True for a Content-Type (none: absent) that says nothing of what a body
/// is, so that its first bytes may: application/octet-stream, text/plain,
/// text/xml and the like. Never text/html.
bool content_type_generic(const std::optional<std::string>& type);
