#include <gtest/gtest.h>

#include "kind.h"
#include "probe.h"

namespace {

// What a body's first bytes say, for a reply whose type is generic.
TEST(BodyKind, FilesAreKnownByTheirFirstBytes) {
    const std::string nzb = "<nzb xmlns=\"http://www.newzbin.com/DTD/2003/nzb\">";
    struct Case {
        const char* name;
        std::string body;
        bool complete;
        std::optional<std::uint32_t> kind;
    };
    std::vector<Case> cases = {
        {"NZB", nzb, true, KIND_NZB},
        {"NZB after a BOM, declaration, comment and DOCTYPE",
         "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- from the indexer -->\n<!DOCTYPE nzb PUBLIC "
         "\"-//newzBin//DTD NZB 1.1//EN\" \"nzb-1.1.dtd\" [<!ENTITY a \">\">]>\r\n" +
             nzb,
         true, KIND_NZB},
        {"other XML", "<?xml version=\"1.0\"?><rss>", true, KIND_NONE},
        {"HTML", "<!DOCTYPE html><html>", true, KIND_NONE},
        {"a zip", "PK\x03\x04", true, KIND_NONE},
        {"empty", "", true, KIND_NONE},
        {"stops after 3 bytes", "d8:", true, KIND_NONE},
        {"3 bytes so far", "d8:", false, std::nullopt},
        {"a dictionary of something else", "d4:name", true, KIND_NONE},
        {"a leading zero", "d08:announce", true, KIND_NONE},
        {"a half comment so far", "<!-- x", false, std::nullopt},
    };
    for (const char* key : {"announce", "announce-list", "info", "created by", "creation date",
                            "comment", "encoding", "url-list"})
        cases.push_back(
            {key, "d" + std::to_string(std::string(key).size()) + ":" + key, true, KIND_TORRENT});
    for (const auto& c : cases)
        EXPECT_EQ(body_kind(c.body, c.complete), c.kind) << c.name;
}

}  // namespace
