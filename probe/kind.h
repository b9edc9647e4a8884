// Torrent and NZB files, and the one order of the rules that tell them: by
// the exact ending of a URL, by what the server declares, by the path of
// the URL whatever its query, by their first bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "probe.h"

/// KIND_TORRENT or KIND_NZB when `text` ends in ".torrent" or ".nzb"
/// (exactly, or in any case with `any_case`), else KIND_NONE.
std::uint32_t suffix_kind(std::string_view text, bool any_case = false);

/// The kind a reached URL has by its exact ending, else `kind` unchanged.
std::uint32_t kind_by_suffix(std::string_view spec, std::uint32_t kind);

/// What tells the kind of a URL of `kind` reached over HTTP, the first rule
/// that applies deciding: its exact ending; for an HTTP URL, what the
/// server declares (`declared`, KIND_NONE: nothing), then its path's
/// ending in any case. None when nothing does: its first bytes may.
std::optional<std::uint32_t> told_kind(std::string_view spec, std::uint32_t kind,
                                       std::uint32_t declared);

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
