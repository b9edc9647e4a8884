// The job list and its load, as the store's own modules and tests use them.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <vector>

#include "store.h"

/// Links `node` into the list that starts at the sentinel `list`, in id order.
void insertnote(std::unique_ptr<LogNote> node, LogNote* list);
/// jqs_load under the queue lock: the result of closing the lock (0 without
/// one), or jqs_load's negative result.
int initlognote(LogNote* list);

/// Reads up to `n` bytes into `buf`, as read(2) does.
using ByteSource = std::function<ssize_t(void* buf, std::size_t n)>;
/// jqs_load's work on an open source; `name` is what a diagnostic calls it.
int jqs_load_from(const ByteSource& source, const char* name, LogNote* list,
                  std::vector<LogNote*>* file_order = nullptr);

/// Writes every node of `list` that has a url as one record, in list
/// order, from the descriptor's position. False with errno.
bool jqs_write_list(int fd, const LogNote* list);

/// Clears the job list, the lock and what is known of the file (for tests).
void jqs_reset();
