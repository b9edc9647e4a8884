// Fuzzes the FTP reply reader: the input, cut at 0xFF bytes into
// successive reads, goes through a packet socket to get_line.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <thread>

#include "ftp.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // get_line copies error replies to stderr; keep the fuzzer's output clean.
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(null);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv) != 0) std::abort();
    // The pieces are fed from a second thread: many of them would fill the
    // socket before anything reads. Closing the reading end ends a feed the
    // reader stopped taking.
    std::thread feed(
        [sv, rest = std::string_view(reinterpret_cast<const char*>(bytes), size)]() mutable {
            for (;;) {
                const auto cut = rest.find('\xff');
                const auto chunk = rest.substr(0, cut);
                if (!chunk.empty() && send(sv[1], chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0)
                    break;
                if (cut == std::string_view::npos) break;
                rest.remove_prefix(cut + 1);
            }
            shutdown(sv[1], SHUT_WR);
        });
    while (const auto line = get_line(sv[0], 0)) {
        if (line->size() < 4 || line->size() > REPLY_READ_SIZE) std::abort();
        if ((*line)[0] < '0' || (*line)[0] > '9' || (*line)[3] != ' ') std::abort();
        if (line->find('\0') != std::string::npos) std::abort();
    }
    close(sv[0]);
    feed.join();
    close(sv[1]);
    return 0;
}
