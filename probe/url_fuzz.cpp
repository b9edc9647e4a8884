// Fuzzes the URL parser: whatever the text, the record keeps its invariants.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "url.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto r = url_new();
    const UrlParts* got = url_init(*r, text);
    const auto k = r->kind;
    if (k != KIND_HTTP && k != KIND_FTP && k != KIND_TORRENT && k != KIND_NZB && k != KIND_ED2K)
        std::abort();
    if (!r->host.has_value() || !r->spec.has_value()) std::abort();
    if (r->file.has_value() && r->file->empty()) std::abort();
    if ((got == nullptr) != r->host->empty()) std::abort();
    if (r->port < 0) std::abort();
    return 0;
}
