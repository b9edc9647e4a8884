#include <gtest/gtest.h>

#include "host_memory.h"
#include "report.h"
#include "util.h"

namespace {

// What a later probe of host:port meets after the run learnt of it.
TEST(HostMemory, OnlyAHostThatNeverAnsweredIsRemembered) {
    struct Case {
        const char* name;
        int asked_seconds;
        bool same_job, answered_after, answered_later, silent;
    };
    const Case cases[] = {
        {"another job, no longer time-out", 3, false, false, false, true},
        {"another job, a longer time-out", 5, false, false, false, false},
        {"the same job (its redirects)", 3, true, false, false, false},
        {"answered since the wait began", 3, false, true, false, false},
        {"a connect that succeeds later", 3, false, false, true, false},
    };
    for (const auto& c : cases) {
        host_memory_reset();
        JobState job;
        job.id = host_memory_new_job();
        const auto since = Clock::now();
        if (c.answered_after) host_answered("Web.test", 80);
        host_remember_silent(job, "web.test", 80, 3, since, "said\n");
        if (!c.same_job) job.id = host_memory_new_job();
        if (c.answered_later) host_answered("web.test", 80);
        const std::string err = capture_stderr([&] {
            EXPECT_EQ(host_known_silent(job, "WEB.test", 80, c.asked_seconds), c.silent) << c.name;
            EXPECT_FALSE(host_known_silent(job, "web.test", 81, 3)) << c.name;
        });
        EXPECT_EQ(err, c.silent ? "said\n" : "") << c.name;
    }
}

}  // namespace
