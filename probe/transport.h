// The connection both protocols talk through: plain TCP, or TLS over it.
// Every wait is bounded the same way for both, by the job's own limit.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "job.h"

class Transport {
  public:
    /// A connection of `job`'s: its waits keep to the job's limit, and what
    /// it says goes where the job's lines go.
    explicit Transport(JobState& job) : job_(job) {}
    virtual ~Transport() = default;
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;
    /// Connects to host:port, each step bounded by probe_timeout(retries).
    /// False on failure; a failed TLS handshake has said why.
    virtual bool open(const std::string& host, int port, int retries) = 0;
    /// Sends all of `data`. False when the connection can't take it (the
    /// send time-out ran out, the TLS session failed).
    virtual bool send(std::string_view data) = 0;
    /// Up to `n` bytes, each wait at most `timeout_ms` and never past
    /// `deadline`: the count, 0 when the peer closed, -1 on an error or
    /// when the time ran out.
    virtual long receive(char* buf, std::size_t n, int timeout_ms, Clock::time_point deadline) = 0;
    virtual void close() = 0;
    /// True once a wait of this connection ran out of time: the server did
    /// not answer in time (rather than closing or failing).
    virtual bool timed_out() const = 0;
    /// True once any byte came from the server: a connection that heard
    /// something, however slow or strange, is no silent host.
    virtual bool heard() const = 0;
    /// The job the connection is for.
    JobState& job() const { return job_; }

  private:
    JobState& job_;
};

/// HTTP's and FTP's own transport: the socket as it is.
std::unique_ptr<Transport> plain_transport(JobState& job);
/// HTTPS: TLS 1.2 or later, the server's chain verified against the CA
/// bundle and its name against the host.
std::unique_ptr<Transport> tls_transport(JobState& job);
/// What a failed TLS handshake's library code `rc` means, in words (the
/// library's own error texts are left out of a router's executable).
std::string tls_failure_text(int rc);
