// The URL record's life: made fresh, filled once by the parser, then
// written into by the probes.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "probe.h"

/// Carries the record being probed between the dispatch and the probes.
/// Records it stops naming stay alive while anything still holds them.
struct ProbeContext {
    std::shared_ptr<UrlParts> current;
    /// The specs current has had since the last probe began (see ProbeTrace).
    std::vector<std::string> trail;
};

/// A fresh record: every text unset, kind KIND_NONE, port 0.
std::shared_ptr<UrlParts> url_new();

/// Classifies `text`, sets spec (maybe with a scheme put in front) and
/// splits it into login, host, port, dir and file. The record, or null when
/// the host came out empty.
UrlParts* url_init(UrlParts& record, std::string_view text);

/// Unsets the record's six texts. A null record is ignored.
void url_destroy(UrlParts* record);

/// A context with no current record.
ProbeContext url_resource_new();

/// True when `text` ends in `suffix` (case-sensitive).
bool ends_with(std::string_view text, std::string_view suffix);
