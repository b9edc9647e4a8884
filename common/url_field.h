// The one size the queue record and the probes share.
#pragma once

#include <cstddef>

/// Bytes of a queue record's URL fields, the last always a NUL: a URL of
/// up to URL_TEXT_MAX bytes fits, and a probe takes nothing longer from a
/// page.
inline constexpr std::size_t URL_FIELD_SIZE = 512;
inline constexpr std::size_t URL_TEXT_MAX = URL_FIELD_SIZE - 1;
