#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "driver.h"
#include "util.h"

namespace {

TEST(Marker, RemovedWhateverItsKind) {
    TempDir dir;
    const std::string marker = dir / "qv2_detect_protected";

    write_file(marker, "x");
    remove_marker(marker.c_str());
    EXPECT_FALSE(path_exists(marker));

    mkdir(marker.c_str(), 0755);
    mkdir((marker + "/a").c_str(), 0755);
    mkdir((marker + "/a/b").c_str(), 0700);
    write_file(marker + "/a/b/f", "x");
    write_file(marker + "/g", "x");
    remove_marker(marker.c_str());
    EXPECT_FALSE(path_exists(marker));

    remove_marker(marker.c_str());  // already gone: quiet
    EXPECT_FALSE(path_exists(marker));
}

TEST(Marker, LinksInsideAreRemovedNotFollowed) {
    TempDir dir;
    const std::string outside = dir / "outside";
    mkdir(outside.c_str(), 0755);
    write_file(outside + "/keep", "x");
    const std::string marker = dir / "marker";
    mkdir(marker.c_str(), 0755);
    ASSERT_EQ(symlink(outside.c_str(), (marker + "/link").c_str()), 0);
    remove_marker(marker.c_str());
    EXPECT_FALSE(path_exists(marker));
    EXPECT_TRUE(path_exists(outside + "/keep"));

    // A marker that is itself a link: the link goes, its target stays.
    ASSERT_EQ(symlink(outside.c_str(), marker.c_str()), 0);
    remove_marker(marker.c_str());
    EXPECT_FALSE(path_exists(marker));
    EXPECT_TRUE(path_exists(outside + "/keep"));
}

}  // namespace
