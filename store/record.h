// The queue record's layout: every field at its offset, and the one
// bounded copy into a fixed-width text field.
#pragma once

#include <cstddef>
#include <string_view>

#include "store.h"

/// Offsets of the record's fields. Integers are 32-bit in host byte order.
inline constexpr std::size_t LN_ID = 0;
inline constexpr std::size_t LN_URL = 4;
inline constexpr std::size_t LN_RESOLVED_URL = 516;
inline constexpr std::size_t LN_TYPE = 1028;
inline constexpr std::size_t LN_STATUS = 1040;
inline constexpr std::size_t LN_RETRIES = 1044;
inline constexpr std::size_t LN_LINK = 1048;
static_assert(LN_URL == LN_ID + 4 && LN_RESOLVED_URL == LN_URL + LN_URL_LEN &&
                  LN_TYPE == LN_RESOLVED_URL + LN_RESOLVED_URL_LEN &&
                  LN_STATUS == LN_TYPE + LN_TYPE_LEN && LN_RETRIES == LN_STATUS + 4 &&
                  LN_LINK == LN_RETRIES + 4 && LOGNOTE_SIZE == LN_LINK + 4,
              "queue record fields must tile the 1052-byte record");

/// Sets a fixed-width text field: at most N-1 bytes of `text`, then zeros.
template <std::size_t N>
void field_set(char (&field)[N], std::string_view text) {
    std::size_t n = text.size() < N ? text.size() : N - 1;
    for (std::size_t i = 0; i < N; ++i)
        field[i] = i < n ? text[i] : '\0';
}
