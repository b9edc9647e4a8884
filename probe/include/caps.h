// Every cap, read size and time a probe keeps to, with its unit, in one
// list: what a hostile or broken server can cost a router is read here.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "url_field.h"

// ---- Time (a job's class time-out is probe_timeout(retries) seconds) ----

/// Class time-outs in seconds: retries up to 1, 2, from 3 on.
inline constexpr int TIMEOUT_SHORT_S = 3, TIMEOUT_MIDDLE_S = 5, TIMEOUT_LONG_S = 8;
/// A whole HTTP reply, header and page, in class time-outs.
inline constexpr int REPLY_TIME_FACTOR = 4;
/// One FTP reply line, continuation lines included, in class time-outs.
inline constexpr int LINE_TIME_FACTOR = 4;
/// A TLS handshake (and a wait for another probe's first one), in class
/// time-outs.
inline constexpr int HANDSHAKE_TIME_FACTOR = 4;
/// All of one job's probes, in class time-outs.
inline constexpr int JOB_TIME_FACTOR = 6;
/// c-ares's own wait for one answer (milliseconds) and its tries: within a
/// class time-out a silent name server is asked again, and c-ares never
/// gives up before the time-out does (1+2+4+8 s with its doubling).
inline constexpr int ARES_TRY_MS = 1000;
inline constexpr int ARES_TRIES = 4;

// ---- HTTP (bytes) ----

/// A reply's header block, and its page (read for its meta refresh only).
inline constexpr std::size_t HEADER_CAP = std::size_t{64} * 1024;
inline constexpr std::size_t PAGE_CAP = std::size_t{1024} * 1024;
/// What one read of a reply asks for.
inline constexpr std::size_t REPLY_READ_BLOCK = 4096;
/// The longest header value looked at for a declared type.
inline constexpr std::size_t DECLARED_VALUE_MAX = 1024;
/// A body's first bytes looked at to tell a torrent or NZB file.
inline constexpr std::size_t BODY_SNIFF_MAX = 1024;
/// A chunk-size line, extensions included: a longer one ends the body.
inline constexpr std::size_t CHUNK_LINE_MAX = 1024;
/// The longest meta refresh target taken: what a job's URL field holds.
inline constexpr std::size_t REFRESH_TARGET_MAX = URL_TEXT_MAX;
/// Redirects one job follows; the next one is refused.
inline constexpr int MAX_REDIRECTS = 10;

// ---- FTP (bytes) ----

/// What one read of a reply may bring.
inline constexpr std::size_t REPLY_READ_SIZE = 10240;

// ---- TLS ----

/// A CA bundle larger than this (bytes) is not one (a full one is 200 KiB);
/// certificates kept from one (a real one holds about 150, each a few KiB
/// and a parse).
inline constexpr off_t CA_BUNDLE_MAX = 8 << 20;
inline constexpr std::size_t CA_CERTS_MAX = 1000;
/// Sites whose session is kept, the most recent ones; the longest ticket
/// kept (bytes): it must go back whole in a ClientHello of at most
/// MBEDTLS_SSL_OUT_CONTENT_LEN bytes, beside the name and the offers.
inline constexpr std::size_t SESSIONS_MAX = 64;
inline constexpr std::size_t TICKET_MAX = 3072;
