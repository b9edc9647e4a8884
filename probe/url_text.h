// The rules a URL's text must meet on its way out: what is trimmed off a
// pasted link, what may never be sent, how a path is written on a request
// line, and how an international host name is written in ASCII.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "job.h"
#include "probe.h"
#include "text.h"

/// `text` without the blanks, tabs, CRs and LFs around it, which a link
/// copied from a page or a chat often has and which are not part of it.
std::string_view url_trim(std::string_view text);

/// The ASCII form of a host name: itself when it is all ASCII; otherwise
/// each label with bytes of 0x80 and above, taken as UTF-8, lower-cased and
/// written as "xn--" and its Punycode. None, with `why` set to the line to
/// say, when the name is not valid UTF-8 or a label can't be written so.
std::optional<std::string> host_ascii(std::string_view host, std::string* why = nullptr);

/// What of a record url_request_form puts in the form it is sent in.
enum class RequestForm {
    HOST,           ///< the host only (a login goes out as the URL has it)
    HOST_AND_PATH,  ///< the host, and the directory and file as a request target
};

/// Puts the record in the form it is sent in, before a probe: its host in
/// ASCII and, for HOST_AND_PATH, its directory and file as the request
/// target; its spec follows, so that what is written back is what was
/// requested. False, with one line said, when the host can't be written in
/// ASCII.
bool url_request_form(UrlParts& record, RequestForm form, JobState& job);

/// A URL a server sent (Location, refresh target) fit to follow and to
/// store: blanks around it trimmed; none when it still holds a control
/// byte, which must never reach the wire or the queue.
std::optional<std::string> server_target(std::string_view text);
