#include <gtest/gtest.h>

#include "url.h"
#include "url_text.h"
#include "util.h"

namespace {

// A job's URL as it is probed and written back: trimmed, parsed, then put
// in the form its request is sent in (a redirect target goes the same way).
TEST(UrlText, PastedLinksAreSentAsARequestLineMayCarryThem) {
    struct Case {
        const char* name;
        std::string text;
        std::string spec;    // written back
        std::string target;  // on the request line (dir + file)
    };
    const Case cases[] = {
        {"blanks and a line end around", " \thttp://h/files/a.iso \r\n", "http://h/files/a.iso",
         "/files/a.iso"},
        {"blank in a name", "http://h/My Music/Song 01.mp3", "http://h/My%20Music/Song%2001.mp3",
         "/My%20Music/Song%2001.mp3"},
        {"UTF-8 path", "http://h/кино/фильм.mkv",
         "http://h/%D0%BA%D0%B8%D0%BD%D0%BE/%D1%84%D0%B8%D0%BB%D1%8C%D0%BC.mkv",
         "/%D0%BA%D0%B8%D0%BD%D0%BE/%D1%84%D0%B8%D0%BB%D1%8C%D0%BC.mkv"},
        {"escapes and query kept", "http://h/a%2Fb%41?x=1&y=%2F/z", "http://h/a%2Fb%41?x=1&y=%2F/z",
         "/a%2Fb%41?x=1&y=%2F/z"},
        {"fragment dropped", "http://h/page.html#part 2", "http://h/page.html", "/page.html"},
        {"fragment after the host", "http://h#top", "http://h", ""},
        {"port and login kept", "http://u:p@h:8080/ä", "http://u:p@h:8080/%C3%A4", "/%C3%A4"},
        {"name in ASCII", "https://Bücher.example/k.pdf", "https://xn--bcher-kva.example/k.pdf",
         "/k.pdf"},
    };
    for (const auto& c : cases) {
        UrlParts r;
        url_init(r, url_trim(c.text));
        JobState job;
        ASSERT_TRUE(url_request_form(r, RequestForm::HOST_AND_PATH, job)) << c.name;
        EXPECT_EQ(r.spec, c.spec) << c.name;
        EXPECT_EQ(r.dir.value_or("") + r.file.value_or(""), c.target) << c.name;
    }
}

TEST(UrlText, HostNamesAreWrittenInAscii) {
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"plain.example", "plain.example"},
        {"bücher.example", "xn--bcher-kva.example"},
        {"BÜCHER.Example", "xn--bcher-kva.Example"},
        {"кино.рф", "xn--h1adke.xn--p1ai"},
        {"ΠΑΡΆΔΕΙΓΜΑ.gr", "xn--hxajbheg2az3al.gr"},
        {"日本語.jp", "xn--wgv71a119e.jp"},
        {"straße.de", "xn--strae-oqa.de"},
        {"b\xfcr.example", std::nullopt},                                   // Latin-1, not UTF-8
        {"\xc0\xaf.example", std::nullopt},                                 // an overlong form
        {"\xed\xa0\x80.example", std::nullopt},                             // a surrogate
        {std::string(40, 'a') + "ü" + std::string(20, 'b'), std::nullopt},  // over 63
    };
    for (const auto& [host, ascii] : cases) {
        std::string why;
        EXPECT_EQ(host_ascii(host, &why), ascii) << host;
        EXPECT_EQ(why.empty(), ascii.has_value()) << host;
    }
    UrlParts r;
    url_init(r, "http://b\xfcr.example/x");
    std::vector<ReportPiece> said;
    JobState job;
    job.said = &said;
    EXPECT_FALSE(url_request_form(r, RequestForm::HOST_AND_PATH, job));
}

}  // namespace
