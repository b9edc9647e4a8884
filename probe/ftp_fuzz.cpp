// Fuzzes the FTP reply reader: the input, cut at 0xFF bytes into
// successive reads, goes through a packet socket to get_line.
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "ftp.h"

namespace {

// One feeder thread for the whole run: the pieces are sent from it, since
// many of them would fill the socket before anything reads. A thread per
// input would grow without bound under the sanitizers.
struct Feeder {
    std::mutex mu;
    std::condition_variable cv;
    std::string_view input;
    int fd = -1;  // the socket to feed; -1 while idle

    void run() {
        std::unique_lock<std::mutex> lock(mu);
        for (;;) {
            cv.wait(lock, [&] { return fd >= 0; });
            std::string_view rest = input;
            for (;;) {
                const auto cut = rest.find('\xff');
                const auto chunk = rest.substr(0, cut);
                // The reader closing its end stops a feed it no longer takes.
                if (!chunk.empty() && send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0) break;
                if (cut == std::string_view::npos) break;
                rest.remove_prefix(cut + 1);
            }
            shutdown(fd, SHUT_WR);
            fd = -1;
            cv.notify_all();
        }
    }
};

Feeder& feeder() {
    static Feeder* f = [] {
        auto* made = new Feeder;
        std::thread([made] { made->run(); }).detach();
        return made;
    }();
    return *f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0) std::abort();
    Feeder& f = feeder();
    {
        std::lock_guard<std::mutex> lock(f.mu);
        f.input = std::string_view(reinterpret_cast<const char*>(bytes), size);
        f.fd = sv[1];
    }
    f.cv.notify_all();
    // What the reader says (error replies it copies) is kept, not printed:
    // the fuzzer's own output and any sanitizer report stay visible.
    std::vector<ReportPiece> said;
    report_into(&said);
    std::size_t copied = 0;
    while (const auto line = get_line(sv[0], 0)) {
        if (line->size() < 4 || line->size() > REPLY_READ_SIZE) std::abort();
        if ((*line)[0] < '0' || (*line)[0] > '9' || (*line)[3] != ' ') std::abort();
        if (line->find('\0') != std::string::npos) std::abort();
    }
    report_into(nullptr);
    for (const auto& p : said)
        copied += p.text.size();
    if (copied > size) std::abort();  // only what the server sent is copied
    close(sv[0]);
    {
        std::unique_lock<std::mutex> lock(f.mu);
        f.cv.wait(lock, [&] { return f.fd < 0; });
    }
    close(sv[1]);
    return 0;
}
