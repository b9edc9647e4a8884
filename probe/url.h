// The URL record's life: made fresh, filled once by the parser, then
// written into by the probes.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "job.h"
#include "probe.h"
#include "refresh.h"

/// The schemes the parser knows, as they stand in a URL.
inline constexpr std::string_view HTTP_SCHEME = "http://";
inline constexpr std::string_view HTTPS_SCHEME = "https://";
inline constexpr std::string_view FTP_SCHEME = "ftp://";
inline constexpr std::string_view MAGNET_SCHEME = "magnet:";
inline constexpr std::string_view ED2K_SCHEME = "ed2k://";
/// The ports a URL that names none is probed on.
inline constexpr int HTTP_PORT = 80;
inline constexpr int HTTPS_PORT = 443;
inline constexpr int FTP_PORT = 21;

/// One job's probe: the record being probed, passed between the dispatch
/// and the probes, and what the HTTP probe keeps while it reads replies.
/// Records it stops naming stay alive while anything still holds them.
struct ProbeContext {
    std::shared_ptr<UrlParts> current;
    /// The job's own state: its time limit, where its lines go.
    JobState job = {};
    /// The specs current has had since the last probe began (see ProbeTrace).
    std::vector<std::string> trail = {};
    /// Redirects followed so far in this job.
    int redirect_count = 0;
    /// What is kept of the page of the last reply read whose content type
    /// was exactly "text/html": its meta refresh search, never the page.
    std::optional<RefreshScan> data = {};
    /// The record whose reply filled data: a relative refresh target is
    /// resolved against the page's own URL.
    std::shared_ptr<UrlParts> data_source = {};
};

/// A fresh record: every text unset, kind KIND_NONE, port 0.
std::shared_ptr<UrlParts> url_new();

/// Classifies `text`, sets spec (maybe with a scheme put in front) and
/// splits it into login, host, port, dir and file. The record, or null when
/// the host came out empty.
UrlParts* url_init(UrlParts& record, std::string_view text);

/// `ref` (a Location value or refresh target) made absolute against the
/// URL of `base` as RFC 3986 (section 5.2) resolves it: a relative path
/// is merged at the last "/" of the base's path (never inside its query)
/// and its dot segments removed; "?y" and "#s" keep the base's path. One
/// with its own scheme or "//" authority is taken as it stands.
std::string resolve_reference(const UrlParts& base, std::string_view ref);

/// The host, with ":port" after it when the record names a port other
/// than its scheme's own.
std::string host_and_port(const UrlParts& record);
