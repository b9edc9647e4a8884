// The TLS sessions of a run, by site: a later connection to a site whose
// certificate was verified resumes a session instead of paying a full
// handshake, and probes that meet a site at once wait for the first one's
// session.
#pragma once

#include <chrono>
#include <string>

struct mbedtls_ssl_context;

/// Offers `ssl` the session kept for host:port, if any: true when one was
/// offered. While another probe's first full handshake with the site is
/// under way, waits for its session, at most `wait`. `first` says whether
/// this probe's handshake is the site's first: the one others wait for,
/// which tls_first_over() must then end.
bool tls_session_offer(const std::string& host, int port, mbedtls_ssl_context& ssl,
                       std::chrono::milliseconds wait, bool& first);
/// Keeps the session `ssl` has with host:port (what resumption needs of
/// it), or forgets the one kept when there is none to keep. A kept session
/// ends the site's first handshake.
void tls_session_keep(const std::string& host, int port, const mbedtls_ssl_context& ssl);
/// Forgets the session kept for host:port: the server would not take it.
void tls_session_forget(const std::string& host, int port);
/// The site's first full handshake is over, with or without a session:
/// the probes waiting for it go on.
void tls_first_over(const std::string& host, int port);

/// Forgets every session and first handshake (for tests).
void tls_sessions_reset();
