// A body framed as "Transfer-Encoding: chunked": the data of its chunks,
// taken out of the framing as the body arrives in pieces. Some servers
// send it even to an HTTP/1.0 request.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "caps.h"

class ChunkedBody {
  public:
    /// Appends the chunk data in `bytes`, the body's next raw piece, to
    /// `out`. The framing may be cut anywhere between pieces.
    void decode(std::string_view bytes, std::string& out);
    /// True once the body has ended: its last chunk came, or its framing
    /// broke (a size that is no hex number or too large, a line too long,
    /// data not followed by its line end). Nothing more is taken then.
    bool ended() const { return phase_ == ENDED; }

  private:
    bool take_size_byte(char c);

    enum Phase { SIZE, EXTENSION, SIZE_LF, DATA, DATA_CR, DATA_LF, ENDED } phase_ = SIZE;
    std::uint64_t size_ = 0;  // the chunk's size as read so far, then its bytes still to come
    std::size_t line_ = 0;    // bytes of the size line so far
    bool digits_ = false;     // the size line has a digit
};
