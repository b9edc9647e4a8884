// What the queue file holds at each record place, as this process last
// loaded or wrote it. queue_write.cpp owns it; the load tells it what it
// found, the list when a node joins after the load.
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
