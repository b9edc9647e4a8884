// The download area's paths, as the store's own modules and tests use them.
#pragma once

#include <cstddef>
#include <string>

#include "store.h"

/// Longest base path whose derived paths (the longest is the queue lock's,
/// base + "/Download2/.sems/sem.jqs") all fit their globals.
inline constexpr std::size_t BASE_PATH_MAX =
    PATH_WIDTH - 1 - (sizeof "/Download2/.sems/sem.jqs" - 1);

/// The rest of the configuration file's 12th line after its first ten
/// characters, up to a zero byte; "none" when the file is missing or can't
/// be opened. At most BASE_PATH_MAX + 1 characters are kept.
std::string getbasepath(const char* conf_path = GENERAL_CONF);
