// Torrent and NZB files as trackers and indexers serve them: named by the
// path of their URL whatever its query, or known by their first bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

/// Bytes of a body looked at to tell a torrent or NZB file by its start.
inline constexpr std::size_t BODY_SNIFF_MAX = 1024;

/// The kind a body's first bytes show: KIND_TORRENT for a bencoded
/// dictionary whose first key is one a torrent file begins with (announce,
/// info, ...), KIND_NZB for XML (after a byte-order mark, blanks, its
/// declaration, comments and a DOCTYPE) whose root element is nzb,
/// KIND_NONE for anything else. None while `start` is too short to tell,
/// unless `complete` says no more will come. Only BODY_SNIFF_MAX bytes
/// count.
std::optional<std::uint32_t> body_kind(std::string_view start, bool complete);

/// KIND_TORRENT or KIND_NZB when the path of a URL (before any "?" or "#")
/// ends in ".torrent" or ".nzb" in any case, else KIND_NONE.
std::uint32_t path_kind(std::string_view spec);
