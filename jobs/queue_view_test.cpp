#include <gtest/gtest.h>

#include <cstring>

#include "jobs.h"
#include "queue_file.h"

namespace {

TEST(QueueView, JsonStringsStayValidForAnyBytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain", "\"plain\""},
        {"q\"b\\", "\"q\\\"b\\\\\""},
        {"a\r\nb\x01\x7f", "\"a\\u000d\\u000ab\\u0001\\u007f\""},
        {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},
        {"bad\xff\xc3", "\"bad\\u00ff\\u00c3\""},
        {"overlong \xe0\x80\xaf", "\"overlong \\u00e0\\u0080\\u00af\""},
        {std::string("nul\0x", 5), "\"nul\\u0000x\""},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(json_string(in), out);
}

TEST(QueueView, DisplayTextEscapesControlBytes) {
    EXPECT_EQ(display_text("http://h/a\x1b[31mred\r\n\\"), "http://h/a\\x1b[31mred\\x0d\\x0a\\\\");
    EXPECT_EQ(display_text("caf\xc3\xa9"), "caf\xc3\xa9");
}

TEST(QueueView, DecodeWarnsAndNeverRepairs) {
    std::string bytes = queue_bytes({waiting(1, "http://a"), waiting(2, std::string(512, 'u'))});
    bytes += queue_record(waiting(3, "http://c")).substr(0, 600);
    const QueueContents q = decode_queue(bytes, "qv.jqs");
    ASSERT_EQ(q.jobs.size(), 3u);
    EXPECT_EQ(q.jobs[2].id, 3);
    EXPECT_EQ(field_text(q.jobs[2].url), "http://c");
    EXPECT_EQ(q.jobs[2].status, 0);  // beyond the partial record's bytes
    EXPECT_EQ(q.warnings,
              (std::vector<std::string>{
                  "qv.jqs: size 2704 is not a multiple of 1052 (the last record is partial)",
                  "qv.jqs: record 2 (id 2): url has no terminating NUL"}));
}

TEST(QueueView, TableAndJsonForms) {
    std::vector<LogNote> jobs(2);
    jobs[0] = std::move(*createnote(7, "magnet:?xt=1", "magnet:?xt=1", "3", 'v', 0));
    jobs[1] = std::move(*createnote(12, "http://h/x", "", "", 'w', 2));
    EXPECT_EQ(format_table(jobs),
              "ID  STATUS      TYPE       RETRIES  URL           RESOLVED URL\n"
              " 7  v detected  3 torrent        0  magnet:?xt=1  magnet:?xt=1\n"
              "12  w waiting   -                2  http://h/x\n");
    EXPECT_EQ(format_json(jobs[1]),
              "{\"id\":12,\"status\":\"w\",\"type\":\"\",\"retries\":2,"
              "\"url\":\"http://h/x\",\"resolved_url\":\"\"}");
    const std::pair<const char*, const char*> types[] = {
        {"1", "HTTP"},         {"2", "FTP"},  {"3", "torrent"}, {"4", "NZB"},
        {"5", "undetermined"}, {"6", "ed2k"}, {"", "-"},        {"9", "?"}};
    for (auto [code, meaning] : types)
        EXPECT_STREQ(type_meaning(code), meaning);
    EXPECT_STREQ(status_meaning('x'), "login refused");
}

TEST(QueueView, NextFreeId) {
    std::vector<LogNote> jobs(2);
    EXPECT_EQ(next_free_id({}), 1);
    jobs[0].id = -5;
    jobs[1].id = 41;
    EXPECT_EQ(next_free_id(jobs), 42);
    jobs[1].id = INT32_MAX;
    EXPECT_EQ(next_free_id(jobs), std::nullopt);
}

}  // namespace
