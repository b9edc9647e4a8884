// A loopback server that plays a script per accepted connection and records
// every byte it receives, so tests can pin the exact bytes on the wire.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

/// One step of a connection's script.
struct Step {
    enum Kind {
        SEND,        ///< send `bytes`
        PAUSE,       ///< wait `ms` milliseconds
        READ_UNTIL,  ///< read until the received text ends in `bytes` (or the peer closes)
        CLOSE,       ///< close the connection
        RESET,       ///< close with a reset (RST)
        STALL,       ///< keep the connection open, silent, until the peer or the test ends
        FLOOD,       ///< send `bytes` over and over, `count` bytes in all, or until refused
        TRICKLE,     ///< send `bytes` one byte every `ms` until done or refused
        RELAY,       ///< connect to 127.0.0.1:`count` and relay both ways until one closes
    };
    Kind kind;
    std::string bytes;
    int ms = 0;
    long long count = 0;
};

namespace script {
inline Step send(std::string bytes) {
    return {Step::SEND, std::move(bytes)};
}
inline Step pause(int ms) {
    return {Step::PAUSE, "", ms};
}
inline Step read_until(std::string end) {
    return {Step::READ_UNTIL, std::move(end)};
}
/// Reads an HTTP request up to its blank line.
inline Step read_request() {
    return read_until("\r\n\r\n");
}
/// Reads one command line.
inline Step read_line() {
    return read_until("\n");
}
inline Step close() {
    return {Step::CLOSE, "", 0, 0};
}
inline Step reset() {
    return {Step::RESET, "", 0, 0};
}
inline Step stall() {
    return {Step::STALL, "", 0, 0};
}
inline Step flood(std::string pattern, long long total) {
    return {Step::FLOOD, std::move(pattern), 0, total};
}
inline Step trickle(std::string bytes, int ms) {
    return {Step::TRICKLE, std::move(bytes), ms, 0};
}
/// Hands the connection to a real server on a loopback port.
inline Step relay(int port) {
    return {Step::RELAY, "", 0, port};
}
}  // namespace script

using Script = std::vector<Step>;

class ScriptedServer {
  public:
    /// Listens on ip:port (port 0: any). Connection i plays scripts[i]; once
    /// they run out, the last one is played again.
    ScriptedServer(const std::string& ip, int port, std::vector<Script> scripts);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int port() const { return port_; }
    /// Connections accepted so far.
    int connections() const;
    /// The most connections that were open at the same time.
    int max_open() const;
    /// Everything received on connection i (waits briefly for its script to
    /// finish reading).
    std::string received(int i) const;
    /// Everything received on all connections, in order.
    std::string all_received() const;

  private:
    void accept_loop();
    void play(int fd, int index);
    void relay_to(int fd, int port) const;

    std::vector<Script> scripts_;
    int listen_fd_ = -1;
    int stop_[2] = {-1, -1};
    int port_ = 0;
    mutable std::mutex mu_;
    std::vector<std::string> received_;
    std::vector<bool> done_;
    int open_ = 0;
    int max_open_ = 0;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
};
