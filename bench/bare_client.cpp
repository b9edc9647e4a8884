// The bare protocol work the detector is measured against: one process
// that, for each path, connects, sends an HTTP/1.0 GET, reads to the blank
// line and closes.
//   bare_client IP PORT HOST PATH...
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: bare_client IP PORT HOST PATH...\n");
        return 1;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
    inet_pton(AF_INET, argv[1], &sa.sin_addr);
    int failed = 0;
    for (int i = 4; i < argc; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ++failed;
            close(fd);
            continue;
        }
        const std::string req =
            std::string("GET ") + argv[i] + " HTTP/1.0\r\nHost: " + argv[3] + "\r\n\r\n";
        (void)!send(fd, req.data(), req.size(), MSG_NOSIGNAL);
        std::string got;
        char buf[4096];
        ssize_t n;
        while (got.find("\r\n\r\n") == std::string::npos && (n = read(fd, buf, sizeof buf)) > 0)
            got.append(buf, static_cast<std::size_t>(n));
        failed += got.compare(0, 12, "HTTP/1.1 200") != 0;
        close(fd);
    }
    return failed == 0 ? 0 : 2;
}
