// The process's heap as the system sees it.
#pragma once

namespace platform {

// Gives the heap memory that was freed back to the system, so that a burst
// of work leaves no lasting growth of the process. Costs a walk over the
// heap: call it after a burst, not after every free.
void ReturnFreeMemory();
// The same on a short-lived thread of its own: the walk takes milliseconds
// after a burst of sessions, which a thread that must answer at once (the
// one that accepts clients) does not wait for. A walk still in progress
// makes this call do nothing.
void ReturnFreeMemoryAside();

}  // namespace platform
