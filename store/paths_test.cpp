#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "store.h"
#include "util.h"
#include "paths.h"

namespace {

std::string lines(int n, const std::string& fill = "x") {
    std::string text;
    for (int i = 0; i < n; ++i)
        text += fill + std::to_string(i) + "\n";
    return text;
}

struct BaseCase {
    const char* name;
    std::string conf;
    std::string base;
};

TEST(Paths, BasePathComesFromLineTwelveAfterTenCharacters) {
    const std::string line53(53, 'p');
    const BaseCase cases[] = {
        {"plain", lines(11) + "0123456789/mnt/disk1\n", "/mnt/disk1"},
        {"key is not examined", lines(11) + "ab:\x01 ;;;;;/mnt/disk1\nmore\n", "/mnt/disk1"},
        {"zero byte in the key", lines(11) + std::string("abc\0efghij/m", 12) + "\n", "/m"},
        {"no final line feed", lines(11) + "0123456789/mnt/usb", "/mnt/usb"},
        {"eleven lines", lines(11), ""},
        {"short twelfth line", lines(11) + "0123456789\n" + lines(3), ""},
        {"empty twelfth line", lines(11) + "\n/x\n", ""},
        {"blank lines count", std::string(11, '\n') + "0123456789/b\n", "/b"},
        {"carriage return kept",
         "a\r\nb\r\nc\r\nd\r\ne\r\nf\r\ng\r\nh\r\ni\r\nj\r\nk\r\n"
         "0123456789/mnt/d\r\n",
         "/mnt/d\r"},
        {"blanks kept", lines(11) + "0123456789 /sp ace \n", " /sp ace "},
        {"zero byte ends it", lines(11) + std::string("0123456789/ab\0cd", 16) + "\n", "/ab"},
        {"63-character line", lines(11) + "0123456789" + line53 + "\n", line53},
        // A long mount path is taken whole; of a longer line no more is
        // kept than tells that it is too long.
        {"60-character path", lines(11) + "0123456789" + std::string(60, 'm') + "\n",
         std::string(60, 'm')},
        {"over-long line", lines(11) + "0123456789" + std::string(3000, 'q') + "\n",
         std::string(BASE_PATH_MAX + 1, 'q')},
        {"over-long earlier line", std::string(5000, 'z') + "\n" + lines(10) + "0123456789/ok\n",
         "/ok"},
        {"many lines", lines(11) + "0123456789/ok\n" + lines(500), "/ok"},
    };
    TempDir dir;
    const std::string conf = dir / "qv2_general.conf";
    for (const auto& c : cases) {
        write_file(conf, c.conf);
        std::string base;
        const std::string err = capture_stderr([&] { base = getbasepath(conf.c_str()); });
        EXPECT_EQ(base, c.base) << c.name;
        EXPECT_EQ(err, "") << c.name;
    }
}

TEST(Paths, LayoutFollowsTheBasePath) {
    TempDir dir;
    const std::string conf = dir / "qv2_general.conf";
    write_file(conf, lines(11) + "0123456789/mnt/disk1\n");
    init_path(conf.c_str());
    EXPECT_STREQ(Base_dir, "/mnt/disk1");
    EXPECT_STREQ(Share_dir, "/mnt/disk1/Download2");
    EXPECT_STREQ(In_dir, "/mnt/disk1/Download2/InComplete");
    EXPECT_STREQ(Log_dir, "/mnt/disk1/Download2/.logs");
    EXPECT_STREQ(Sem_dir, "/mnt/disk1/Download2/.sems");
    EXPECT_STREQ(jqs_dir, "/mnt/disk1/Download2/.sems/sem.jqs");
    EXPECT_STREQ(jqs_file, "/mnt/disk1/Download2/.logs/qv.jqs");

    write_file(conf, lines(11));
    init_path(conf.c_str());
    EXPECT_STREQ(Base_dir, "");
    EXPECT_STREQ(jqs_file, "/Download2/.logs/qv.jqs");
    EXPECT_STREQ(jqs_dir, "/Download2/.sems/sem.jqs");

    write_file(conf, lines(11) + "0123456789/a\r\n");
    init_path(conf.c_str());
    EXPECT_STREQ(jqs_file, "/a\r/Download2/.logs/qv.jqs");

    // The longest base path whose lock path still fits its global; one more
    // character and no path is set at all.
    const std::string longest = "/" + std::string(BASE_PATH_MAX - 1, 'l');
    write_file(conf, lines(11) + "0123456789" + longest + "\n");
    EXPECT_TRUE(init_path(conf.c_str()));
    EXPECT_EQ(std::string(jqs_dir), longest + "/Download2/.sems/sem.jqs");
    write_file(conf, lines(11) + "0123456789" + longest + "l\n");
    bool ok = true;
    const std::string err = capture_stderr([&] { ok = init_path(conf.c_str()); });
    EXPECT_FALSE(ok);
    EXPECT_EQ(err,
              "qv2_general.conf: the download area path on line 12 is longer than 231 "
              "characters; the queue is left alone\n");
    EXPECT_STREQ(jqs_file, "");
    EXPECT_STREQ(jqs_dir, "");
}

TEST(Paths, MissingConfigurationGivesNoneSilently) {
    TempDir dir;
    const std::string conf = dir / "absent.conf";
    const std::string err = capture_stderr([&] { init_path(conf.c_str()); });
    EXPECT_EQ(err, "");
    EXPECT_STREQ(Base_dir, "none");
    EXPECT_STREQ(jqs_file, "none/Download2/.logs/qv.jqs");
    EXPECT_STREQ(jqs_dir, "none/Download2/.sems/sem.jqs");
}

TEST(Paths, UnopenableConfigurationIsReportedOnce) {
    // A socket exists but no one can fopen it, root included.
    TempDir dir;
    const std::string conf = dir / "qv2_general.conf";
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, conf.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    const std::string err = capture_stderr([&] { init_path(conf.c_str()); });
    close(s);
    EXPECT_EQ(err.rfind("open qv2_general.conf error: ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_STREQ(Base_dir, "none");
    EXPECT_STREQ(jqs_file, "none/Download2/.logs/qv.jqs");
}

}  // namespace
