// Fuzzes the FTP reply reader: the input, cut at 0xFF bytes into
// successive reads, is handed to get_line by a fake connection.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "fake_transport.h"
#include "ftp.h"
#include "report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    // What the reader says (error replies it copies) is kept, not printed:
    // the fuzzer's own output and any sanitizer report stay visible.
    std::vector<ReportPiece> said;
    JobState job;
    job.said = &said;
    FakeConnection conn(std::string_view(reinterpret_cast<const char*>(bytes), size), job);
    while (const auto line = get_line(conn, 0)) {
        if (line->size() < 4 || line->size() > REPLY_READ_SIZE) std::abort();
        if ((*line)[0] < '0' || (*line)[0] > '9' || (*line)[3] != ' ') std::abort();
        if (line->find('\0') != std::string::npos) std::abort();
    }
    std::size_t copied = 0;
    for (const auto& p : said)
        copied += p.text.size();
    if (copied > size) std::abort();  // only what the server sent is copied
    return 0;
}
