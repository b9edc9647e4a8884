// Chunked framing (RFC 9112 section 7.1): hex size, optional extensions,
// CRLF, data, CRLF, until a chunk of size 0. A bare LF is taken for CRLF,
// as clients commonly do; trailers after the last chunk are not read.
#include "chunked.h"

#include <algorithm>

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A size this large is no chunk a reply could carry: the framing is broken.
constexpr std::uint64_t SIZE_MAX_TAKEN = std::uint64_t{1} << 56;

}  // namespace

// One byte of a size line; false when the framing broke.
bool ChunkedBody::take_size_byte(char c) {
    if (++line_ > CHUNK_LINE_MAX) return false;
    if (c == '\n') {
        if (!digits_) return false;
        if (size_ == 0) {
            phase_ = ENDED;  // the last chunk
            return true;
        }
        phase_ = DATA;
        return true;
    }
    if (phase_ == SIZE_LF) return false;  // a CR not followed by its LF
    if (phase_ == EXTENSION) return true;
    if (c == '\r') {
        phase_ = SIZE_LF;
        return true;
    }
    const int v = hex_value(c);
    if (v >= 0) {
        if (size_ >= SIZE_MAX_TAKEN) return false;
        size_ = size_ * 16 + static_cast<unsigned>(v);
        digits_ = true;
        return true;
    }
    // Extensions (";name=value"), maybe after blanks, say nothing we need.
    if (digits_ && (c == ';' || c == ' ' || c == '\t')) {
        phase_ = EXTENSION;
        return true;
    }
    return false;
}

void ChunkedBody::decode(std::string_view bytes, std::string& out) {
    std::size_t i = 0;
    while (i < bytes.size() && phase_ != ENDED) {
        const char c = bytes[i];
        switch (phase_) {
            case SIZE:
            case EXTENSION:
            case SIZE_LF:
                ++i;
                if (!take_size_byte(c)) phase_ = ENDED;
                break;
            case DATA: {
                const auto n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(size_, bytes.size() - i));
                out.append(bytes.substr(i, n));
                i += n;
                size_ -= n;
                if (size_ == 0) phase_ = DATA_CR;
                break;
            }
            case DATA_CR:
            case DATA_LF:
                ++i;
                if (c == '\r' && phase_ == DATA_CR) {
                    phase_ = DATA_LF;
                } else if (c == '\n') {
                    phase_ = SIZE;
                    line_ = 0;
                    digits_ = false;
                } else {
                    phase_ = ENDED;
                }
                break;
            case ENDED:
                break;
        }
    }
}
