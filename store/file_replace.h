// Replacing a shared file atomically, through a link to where it lies.
#pragma once

#include <functional>
#include <string>

#include "store.h"

/// Writes content to the descriptor from its start; false with errno.
using ContentWriter = std::function<bool(int fd)>;
/// jqs_replace_file with the content written by `write_content`, so that a
/// large queue need not be held twice in memory.
ReplaceResult jqs_replace_with(const std::string& path, const ContentWriter& write_content);
/// What `path` names once symbolic links are followed (the path itself
/// when nothing is there).
std::string jqs_real_path(const std::string& path);
