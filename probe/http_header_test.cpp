#include <gtest/gtest.h>

#include "http_header.h"

namespace {

TEST(HttpDeclared, TypesServersDeclare) {
    const std::pair<std::string, std::uint32_t> cases[] = {
        {"Content-Type: application/x-bittorrent", KIND_TORRENT},
        {"Content-Type: Application/X-BitTorrent; charset=binary", KIND_TORRENT},
        {"Content-Type: application/x-nzb", KIND_NZB},
        {"Content-Type: application/x-nzb-compressed", KIND_NONE},
        {"Content-Type: text/plain", KIND_NONE},
        {"Content-Disposition: attachment; filename=\"Week 12.NZB\"", KIND_NZB},
        {"Content-Disposition: attachment; filename=show.torrent", KIND_TORRENT},
        {"Content-Disposition: attachment; filename*=UTF-8''caf%C3%A9.torrent", KIND_TORRENT},
        {"Content-Disposition: attachment; filename*=UTF-8''a.txt; filename=\"a.torrent\"",
         KIND_NONE},  // the extended name comes first
        {"Content-Disposition: attachment; filename=\"notes.torrent.txt\"", KIND_NONE},
        {"Content-Disposition: attachment; filename=\"unclosed.torrent", KIND_NONE},
        {"Content-Disposition: attachment; myfilename=a.torrent", KIND_NONE},
        {"Content-Disposition: attachment; filename*=a.torrent", KIND_NONE},  // no charset
        {"Content-Disposition: inline; filename=\"" + std::string(2000, 'a') + ".nzb\"",
         KIND_NONE},  // beyond the cap
    };
    for (const auto& [field, kind] : cases)
        EXPECT_EQ(declared_kind(parse_header_fields("HTTP/1.0 200 OK\r\n" + field + "\r\n\r\n")),
                  kind)
            << field;
}

TEST(HttpDeclared, GenericTypesLeaveItToTheBody) {
    EXPECT_TRUE(content_type_generic(std::nullopt));
    EXPECT_TRUE(content_type_generic("Application/Octet-Stream; charset=binary"));
    EXPECT_TRUE(content_type_generic("text/xml"));
    EXPECT_FALSE(content_type_generic("text/html"));
}

}  // namespace
