#include "scripted_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "net.h"
#include "util.h"

ScriptedServer::ScriptedServer(const std::string& ip, int port, std::vector<Script> scripts)
    : scripts_(std::move(scripts)) {
    listen_fd_ = bound_socket(SOCK_STREAM, ip, port);
    if (listen(listen_fd_, 64) != 0) throw std::runtime_error("scripted server: listen failed");
    port_ = local_port(listen_fd_);
    if (pipe2(stop_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    acceptor_ = std::thread([this] { accept_loop(); });
}

ScriptedServer::~ScriptedServer() {
    (void)!write(stop_[1], "x", 1);
    acceptor_.join();
    for (auto& t : threads_)
        t.join();
    close(listen_fd_);
    close(stop_[0]);
    close(stop_[1]);
}

int ScriptedServer::connections() const {
    std::lock_guard<std::mutex> lock(mu_);
    return static_cast<int>(received_.size());
}

int ScriptedServer::max_open() const {
    std::lock_guard<std::mutex> lock(mu_);
    return max_open_;
}

std::string ScriptedServer::received(int i) const {
    wait_until(
        [&] {
            std::lock_guard<std::mutex> lock(mu_);
            return i < static_cast<int>(done_.size()) && done_[i];
        },
        2.0);
    std::lock_guard<std::mutex> lock(mu_);
    return i < static_cast<int>(received_.size()) ? received_[i] : "";
}

std::string ScriptedServer::all_received() const {
    std::string all;
    for (int i = 0; i < connections(); ++i)
        all += received(i);
    return all;
}

void ScriptedServer::accept_loop() {
    for (;;) {
        pollfd fds[2] = {{stop_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
        poll(fds, 2, -1);
        if (fds[0].revents) return;
        const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int index;
        {
            std::lock_guard<std::mutex> lock(mu_);
            index = static_cast<int>(received_.size());
            received_.emplace_back();
            done_.push_back(false);
            max_open_ = std::max(max_open_, ++open_);
        }
        threads_.emplace_back([this, fd, index] { play(fd, index); });
    }
}

void ScriptedServer::relay_to(int fd, int port) const {
    const int up = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<std::uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(up, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) {
        for (bool open = true; open;) {
            pollfd fds[3] = {{stop_[0], POLLIN, 0}, {fd, POLLIN, 0}, {up, POLLIN, 0}};
            if (poll(fds, 3, -1) <= 0 || fds[0].revents) break;
            for (int i = 1; i <= 2 && open; ++i) {
                if (fds[i].revents == 0) continue;
                char buf[4096];
                const ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
                open = n > 0 &&
                       send(i == 1 ? up : fd, buf, static_cast<std::size_t>(n), MSG_NOSIGNAL) == n;
            }
        }
    }
    ::close(up);
}

void ScriptedServer::play(int fd, int index) {
    const Script& script =
        scripts_.empty() ? Script{} : scripts_[std::min<std::size_t>(index, scripts_.size() - 1)];
    std::string got;  // this connection's bytes, also kept in received_
    bool open = true;
    bool counted_closed = false;
    bool reset = false;
    // Waits up to `ms` (-1: for ever) for data or the end of the test; reads
    // what came. False when the test is ending or the peer closed.
    auto pump = [&](int ms) {
        pollfd fds[2] = {{stop_[0], POLLIN, 0}, {fd, POLLIN, 0}};
        if (poll(fds, 2, ms) <= 0) return true;
        if (fds[0].revents) return false;
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        got.append(buf, static_cast<std::size_t>(n));
        std::lock_guard<std::mutex> lock(mu_);
        received_[index].append(buf, static_cast<std::size_t>(n));
        return true;
    };
    // A connection counts as open until its last answer goes out: the peer
    // can't have seen that answer before it stopped counting.
    std::size_t last_send = script.size();
    for (std::size_t i = 0; i < script.size(); ++i)
        if (script[i].kind == Step::SEND) last_send = i;
    auto count_closed = [&] {
        std::lock_guard<std::mutex> lock(mu_);
        if (!counted_closed) --open_;
        counted_closed = true;
    };
    for (std::size_t i = 0; i < script.size(); ++i) {
        const Step& step = script[i];
        if (!open) break;
        switch (step.kind) {
            case Step::SEND:
                if (i == last_send) count_closed();
                open = send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL) >= 0;
                break;
            case Step::PAUSE: {
                const double end = now_seconds() + step.ms / 1000.0;
                while (open && now_seconds() < end) {
                    const int left = static_cast<int>((end - now_seconds()) * 1000) + 1;
                    pollfd p{stop_[0], POLLIN, 0};
                    if (poll(&p, 1, left) > 0) open = false;
                }
                break;
            }
            case Step::READ_UNTIL: {
                const std::size_t from = got.size();
                while (open && got.find(step.bytes, from) == std::string::npos)
                    open = pump(-1);
                break;
            }
            case Step::CLOSE:
                count_closed();
                open = false;
                break;
            case Step::RESET: {
                linger l{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                open = false;
                reset = true;
                break;
            }
            case Step::STALL:
                while (open)
                    open = pump(-1);
                break;
            case Step::FLOOD:
                for (long long sent = 0; open && sent < step.count;) {
                    const ssize_t n =
                        send(fd, step.bytes.data(), step.bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                    if (n > 0) {
                        sent += n;
                    } else if (n < 0 && errno == EAGAIN) {
                        pollfd fds[2] = {{stop_[0], POLLIN, 0}, {fd, POLLOUT, 0}};
                        poll(fds, 2, 1000);
                        if (fds[0].revents) open = false;
                    } else {
                        open = false;
                    }
                }
                break;
            case Step::RELAY:
                relay_to(fd, static_cast<int>(step.count));
                open = false;
                break;
            case Step::TRICKLE:
                for (std::size_t b = 0; open && b < step.bytes.size(); ++b) {
                    open = send(fd, &step.bytes[b], 1, MSG_NOSIGNAL) == 1;
                    pollfd p{stop_[0], POLLIN, 0};
                    if (open && poll(&p, 1, step.ms) > 0) open = false;
                }
                break;
        }
    }
    // Whatever the peer still sends before it closes is recorded too.
    if (!reset) {
        shutdown(fd, SHUT_WR);
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 50) > 0 && pump(0)) {
        }
    }
    ::close(fd);
    count_closed();
    std::lock_guard<std::mutex> lock(mu_);
    done_[index] = true;
}
