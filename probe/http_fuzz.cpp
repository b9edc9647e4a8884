// Fuzzes the parsing of what an HTTP server sends back: header fields, the
// meta refresh target and its resolution.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "http.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(bytes), size);
    HeaderList fields = parse_header_fields(text);
    for (const auto& f : fields) {
        const auto found = find_header_field(f.name, fields);
        if (!found.has_value()) std::abort();
    }
    const auto location = find_header_field("location", fields);
    const std::string target = get_raw_url(text);
    if (target.size() > REFRESH_TARGET_MAX || target.find('"') != std::string::npos) std::abort();
    auto base = url_new();
    url_init(*base, "http://host:8080/dir/file?q");
    if (location) url_init(*url_new(), resolve_reference(*base, *location));
    if (!target.empty()) url_init(*url_new(), resolve_reference(*base, target));
    free_header_fields(fields);
    return 0;
}
