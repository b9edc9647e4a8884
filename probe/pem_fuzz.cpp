// Fuzzes the CA bundle reader, whose file an owner or a package may give
// it: the PEM splitter over the input as it stands, and base64 decoding
// of the input's own base64 form (wrapped in lines as PEM has it), which
// must give back exactly the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ca_bundle.h"

namespace {

std::string base64_lines(const std::uint8_t* bytes, std::size_t size) {
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < size; i += 3) {
        const std::uint32_t n = static_cast<std::uint32_t>(bytes[i]) << 16 |
                                (i + 1 < size ? static_cast<std::uint32_t>(bytes[i + 1]) << 8 : 0) |
                                (i + 2 < size ? bytes[i + 2] : 0);
        out += digits[n >> 18 & 63];
        out += digits[n >> 12 & 63];
        out += i + 1 < size ? digits[n >> 6 & 63] : '=';
        out += i + 2 < size ? digits[n & 63] : '=';
        if (i % 48 == 45) out += "\r\n";
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(bytes), size);
    std::size_t blocks = 0;
    for (std::size_t at = 0; const auto der = pem_next_certificate(input, at);) {
        if (der->size() > size * 3 / 4 + 3 || at > size) std::abort();
        ++blocks;
    }
    std::size_t begins = 0;
    for (auto at = input.find("-----BEGIN CERTIFICATE-----"); at != std::string_view::npos;
         at = input.find("-----BEGIN CERTIFICATE-----", at + 1))
        ++begins;
    if (blocks > begins) std::abort();

    const auto back = base64_decode(base64_lines(bytes, size));
    if (!back || back->size() != size || !std::equal(back->begin(), back->end(), bytes))
        std::abort();
    return 0;
}
