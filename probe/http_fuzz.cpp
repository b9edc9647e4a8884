// Fuzzes what an HTTP server sends back, read as the probe reads it: the
// input, cut at 0xFF bytes, is handed over piece by piece by a fake
// connection (a piece that begins with 0xFE is a read error; after the
// last piece the server closes). The header fields, the types they
// declare, the targets they name, and the meta refresh found while the
// page arrives are all checked.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "kind.h"
#include "fake_transport.h"
#include "http_header.h"
#include "url_text.h"

namespace {

// The refresh target as it was found when the whole page was kept: the
// scan of a page in pieces must give exactly this.
std::string whole_page_target(std::string_view body) {
    const auto tag = body.find("HTTP-EQUIV=\"REFRESH\"");
    if (tag == std::string_view::npos) return "";
    const auto key = body.find("url=", tag);
    if (key == std::string_view::npos) return "";
    const auto quote = body.find('"', key + 4);
    if (quote == std::string_view::npos) return "";
    std::string_view target = trim_space(body.substr(key + 4, quote - key - 4));
    if (!target.empty() && target[0] == '\'') {
        target.remove_prefix(1);
        target = trim_space(target.substr(0, target.find('\'')));
    }
    return target.size() > REFRESH_TARGET_MAX ? "" : std::string(target);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    // What the probe says is kept, not printed: the fuzzer's own output
    // and any sanitizer report stay visible.
    std::vector<ReportPiece> said;
    JobState job;
    job.said = &said;
    FakeConnection conn(std::string_view(reinterpret_cast<const char*>(bytes), size), job);

    // The page scan, piece by piece, against the whole page.
    RefreshScan scan;
    std::string page;
    for (const auto p : conn.pieces()) {
        scan.feed(p);
        for (const char c : p)
            if (c != '\0') page += c;
    }
    if (scan.target() != whole_page_target(page)) std::abort();

    ProbeContext ctx{url_new()};
    ctx.job.said = &said;
    url_init(*ctx.current, "http://host:8080/dir/file?q");
    ReplyEnd end;
    const std::string reply =
        read_http_reply(conn, ctx, 1000, Clock::now() + std::chrono::seconds(1), &end);
    if (reply.size() > HEADER_CAP || (end.capped && reply.size() != HEADER_CAP)) std::abort();
    HeaderList fields = parse_header_fields(reply);
    const std::uint32_t kind = declared_kind(fields);
    if (kind != KIND_NONE && kind != KIND_TORRENT && kind != KIND_NZB) std::abort();
    auto follow = [&](const std::optional<std::string>& named) {
        if (!named) return;
        const auto target = server_target(*named);
        if (!target) return;
        if (has_control_byte(*target)) std::abort();
        UrlParts next;
        url_init(next, resolve_reference(*ctx.current, *target));
        // As it would be requested: nothing a request line must not carry.
        if (next.kind == KIND_HTTP && url_request_form(next, RequestForm::HOST_AND_PATH, ctx.job)) {
            for (const char c : next.dir.value_or("") + next.file.value_or(""))
                if (c < 0x21 || c > 0x7E) std::abort();
        }
    };
    follow(find_header_field("location", fields));
    if (ctx.data.has_value()) {
        const std::string target = ctx.data->target();
        if (target.size() > REFRESH_TARGET_MAX || target.find('"') != std::string::npos)
            std::abort();
        follow(target);
    }
    if (end.body_start.size() > BODY_SNIFF_MAX || !body_kind(end.body_start, true)) std::abort();
    return 0;
}
