// Queue files are the same bytes whichever build writes them: a 32-bit
// router build and a 64-bit one read each other's files identically. A
// big-endian build (QV2_OTHER_BIG_ENDIAN=1) writes its integers in its own
// byte order, as the download manager beside it does: the same records
// with each integer's bytes the other way round. Runs when QV2_OTHER_JOBS
// and QV2_OTHER_DETECT name the other build's programs (the cross-test
// command sets them).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "area.h"
#include "sandbox.h"
#include "util.h"

namespace {

class WordSize : public ::testing::Test {
  protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        const char* jobs = std::getenv("QV2_OTHER_JOBS");
        const char* detect = std::getenv("QV2_OTHER_DETECT");
        if (jobs == nullptr || detect == nullptr)
            GTEST_SKIP() << "QV2_OTHER_JOBS and QV2_OTHER_DETECT name no other build";
        other_jobs = jobs;
        other_detect = detect;
        const char* big = std::getenv("QV2_OTHER_BIG_ENDIAN");
        swapped = big != nullptr && std::string(big) == "1";
    }
    // The bytes the other build writes for what this one wrote as `mine`.
    std::string theirs_of(std::string mine) const {
        if (!swapped) return mine;
        for (std::size_t r = 0; r + REC_SIZE <= mine.size(); r += REC_SIZE)
            for (const std::size_t at : {0, 1040, 1044, 1048})
                std::reverse(mine.begin() + static_cast<std::ptrdiff_t>(r + at),
                             mine.begin() + static_cast<std::ptrdiff_t>(r + at + 4));
        return mine;
    }
    std::string other_jobs, other_detect;
    bool swapped = false;
};

std::string run_ok(const std::vector<std::string>& argv) {
    const ProcResult r = run_process(argv, {}, 60);
    EXPECT_EQ(r.status, 0) << argv[0] << ": " << r.err;
    return r.out;
}

TEST_F(WordSize, BothBuildsWriteAndReadTheSameBytes) {
    const std::vector<std::vector<std::string>> adds = {
        {"add", "magnet:?xt=urn:btih:abc"},
        {"add", "--id", "-7", "http://h/a.torrent"},
        {"add", "--id", "2147483647", "ed2k://|file|x|1|H|/"},
        {"add", "--id", "5", "h/b.nzb"},
    };
    DownloadArea mine;
    for (auto args : adds) {
        args.insert(args.begin(), QV2_JOBS_BIN);
        run_ok(args);
    }
    const std::string written_here = read_file(mine.queue_file());
    DownloadArea theirs;  // the configuration now names this area
    for (auto args : adds) {
        args.insert(args.begin(), other_jobs);
        run_ok(args);
    }
    const std::string written_there = read_file(theirs.queue_file());
    EXPECT_EQ(written_there, theirs_of(written_here));

    // Each reads the other's file identically (or, in the other byte order,
    // its own as this one reads its own).
    const std::string here = swapped ? theirs.queue_file() : mine.queue_file();
    EXPECT_EQ(run_ok({other_jobs, "list", "--json", here}),
              run_ok({QV2_JOBS_BIN, "list", "--json", mine.queue_file()}));
    if (!swapped) {
        EXPECT_EQ(run_ok({QV2_JOBS_BIN, "list", "--json", theirs.queue_file()}),
                  run_ok({other_jobs, "list", "--json", theirs.queue_file()}));
    }

    // Both detectors turn the same queue into the same bytes (jobs settled by
    // form, a record kept byte for byte).
    std::string queue = written_here + queue_record(QueueRec{9, "http://v", "http://v", "1", 'v'});
    queue[queue.size() - REC_SIZE + 4 + 10] = 'j';  // junk after the url's NUL
    write_file(theirs.queue_file(), theirs_of(queue));
    run_ok({other_detect});
    const std::string after_there = read_file(theirs.queue_file());
    write_file(theirs.queue_file(), queue);
    run_ok({QV2_DETECT_BIN});
    EXPECT_EQ(theirs_of(read_file(theirs.queue_file())), after_there);
    EXPECT_EQ(parse_queue(read_file(theirs.queue_file())).at(0).type, "3");
}

}  // namespace
