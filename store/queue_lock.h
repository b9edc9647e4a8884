// The queue lock's state, as the store's tests reset it.
#pragma once

/// Closes the queue lock and forgets its token (for tests).
void jqs_lock_reset();
