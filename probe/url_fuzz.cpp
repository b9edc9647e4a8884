// Fuzzes the URL parser: whatever the text, the record keeps its invariants.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "url.h"
#include "url_text.h"

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
    // What a probe sends: an ASCII host, a path a request line may carry.
    std::vector<ReportPiece> said;  // kept, not printed
    JobState job;
    job.said = &said;
    if (r->kind == KIND_HTTP && url_request_form(*r, RequestForm::HOST_AND_PATH, job)) {
        for (const char c : *r->host + r->dir.value_or("") + r->file.value_or(""))
            if (static_cast<unsigned char>(c) >= 0x80) std::abort();
        if (r->dir.value_or("").find('#') != std::string::npos) std::abort();
    }
    return 0;
}
