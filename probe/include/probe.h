// URL probing: what kind of download a URL is, and whether it can be reached.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "caps.h"
#include "wait.h"

/// Kind of a URL, from its form and, after a probe, from its ending.
enum : std::uint32_t {
    KIND_NONE = 0,     ///< fresh record
    KIND_HTTP = 1,     ///< probed over HTTP
    KIND_FTP = 2,      ///< probed over FTP
    KIND_TORRENT = 5,  ///< a torrent file or a magnet link; never probed
    KIND_NZB = 6,      ///< an NZB file; never probed
    KIND_ED2K = 7,     ///< an ed2k link; never probed
};

/// Result of a probe.
enum : std::int32_t {
    OUTCOME_REACHABLE = 1,
    OUTCOME_FAILED = 2,
    OUTCOME_LOGIN_REFUSED = 3,  ///< the FTP server refused the login
};

/// One parsed URL and its probe result. The texts tell unset from empty:
/// the probes fill defaults only into unset fields.
struct UrlParts {
    std::optional<std::string> spec;  ///< the URL as probed and written back
    std::uint32_t kind = KIND_NONE;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> host;  ///< always set after url_init, maybe empty;
                                      ///< an IPv6 literal keeps its brackets
    std::int32_t port = 0;            ///< 0: the probe's default
    std::int32_t outcome = 0;         ///< set by every path of url_parser
    std::optional<std::string> dir;   ///< path up to and including its last "/"
    std::optional<std::string> file;  ///< what follows dir; never set empty by the parser
    bool tls = false;                 ///< an https:// URL: probed over TLS, port 443
};

/// The port a connection to `port` goes to: the number cut to 16 bits.
inline int port_on_wire(std::int32_t port) {
    return port & 0xffff;
}

/// One piece of what a job's probes said for standard error.
struct ReportPiece {
    std::string text;
    /// Said at most once per run, however many jobs come upon it.
    bool once_per_run = false;
    /// A step of the probe, told only to whoever asked to follow them.
    bool step = false;
};

/// Seconds that bound every lookup, connect, send and read of a probe:
/// 3 for retries up to 1, 5 for 2, 8 from RETRIES_MAX on.
int probe_timeout(int retries);
/// A job's retry counter grows with each run that leaves it waiting, up to
/// this, where its time-outs are longest.
inline constexpr int RETRIES_MAX = 3;

/// A URL as people are shown it: a password in it replaced by
/// "*password*". For what is printed, never for what is stored or sent.
std::string url_for_people(std::string_view url);

/// What the pass learns of a probe besides its final record.
struct ProbeTrace {
    /// Set by the caller: the probes also tell, into `said`, each step they
    /// take (a lookup, a connect, a request, a reply...).
    bool steps = false;
    /// A wait was cut by the job's time limit (or called off): the result
    /// is no verdict, whatever the cut-short reply seemed to say.
    bool cut = false;
    /// The URLs the last probe went through, in order: the one it started
    /// on, then each redirect or refresh target it took; the final spec last.
    std::vector<std::string> trail;
    /// What the probes said, in order, kept for the pass to write whole:
    /// jobs probed at the same time must not write into each other.
    std::vector<ReportPiece> said;
};

/// A job's URL, parsed once: whether probing it needs the network at all
/// (not for links settled by their form), its host lowercased, and the
/// record url_parser probes.
struct ProbeTarget {
    bool network = false;
    std::string host;
    std::shared_ptr<UrlParts> record;
};
ProbeTarget url_target(std::string_view text);

/// Probes a job's parsed URL (with protocol fallback); `retries` selects
/// the time-outs, and no wait goes past `limit`. The record probed last,
/// never null: its spec, kind and outcome are the job's result. `trace`,
/// when given, is filled, and the diagnostics go into it instead of to
/// stderr.
std::shared_ptr<UrlParts> url_parser(ProbeTarget target, int retries, ProbeTrace* trace = nullptr,
                                     Clock::time_point limit = Clock::time_point::max());
/// The same for a URL's text.
std::shared_ptr<UrlParts> url_parser(std::string_view text, int retries,
                                     ProbeTrace* trace = nullptr,
                                     Clock::time_point limit = Clock::time_point::max());
