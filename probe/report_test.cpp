#include <gtest/gtest.h>

#include "report.h"
#include "util.h"

namespace {

TEST(Report, PrintsExactlyTheFormattedText) {
    JobState job;
    const std::string server_text = "%s%n%x 550 evil\r\n";
    EXPECT_EQ(capture_stderr([&] { report(job, "bad: %s", server_text.c_str()); }),
              "bad: " + server_text);
    EXPECT_EQ(capture_stderr([&] { report(job, "no line end"); }), "no line end");
    EXPECT_EQ(capture_stderr([&] { report(job, nullptr); }), "");
}

}  // namespace
