// Writing the job list into the queue file, and what the file holds at
// each record place as this process last loaded or wrote it: queue_write.cpp
// owns that; the load tells it what it found, the list when a node joins
// after the load.
#pragma once

#include <vector>

#include "store.h"

/// The load took the whole file: `places` is what each record of it is (a
/// node, or null for a record the list does not keep), `is_list` whether
/// the file holds exactly the list's records in list order.
void queue_layout_loaded(std::vector<const LogNote*> places, bool is_list);
/// The load stopped before the end of the file: the list is not the whole
/// queue, and writing it back would drop the rest.
void queue_layout_incomplete();
/// A node joined the list after the load: the file is no longer its order.
void queue_layout_list_changed();
/// Forgets it (for tests).
void queue_layout_reset();

/// Whether a queue write takes the queue lock or its caller holds it.
enum class LockMode { TAKE, HELD };
/// Replaces the queue file (through a link, atomically) with the list's
/// nodes that have a url; with no room for a copy, the `changed` nodes go
/// over their own records instead, whatever the file's order (nothing at
/// all when one is not where it was). 0 on success (or the result of
/// releasing the lock); -1 when not written (one line on stderr).
int refresh_jqs(LockMode lock = LockMode::TAKE, const std::vector<const LogNote*>& changed = {});

/// Writes the records of `nodes` (nodes of the list at head) over their own
/// places in the queue file, when the file holds exactly the list's records
/// in list order. Each place is read back first and must still hold its
/// job's id and url. Each record's status is written after its other
/// fields, each step flushed to storage; stop signals wait for the write.
/// 0 on success; 1 when the file is not laid out as the list or a place
/// holds another job (nothing is written: refresh_jqs instead); -1 when it
/// could not be written (one line on stderr).
int jqs_update_in_place(const std::vector<const LogNote*>& nodes);
