// The process's heap as the system sees it.
#pragma once

namespace platform {

// Gives the heap memory that was freed back to the system, so that a burst
// of work leaves no lasting growth of the process. Costs a walk over the
// heap: call it after a burst, not after every free.
void ReturnFreeMemory();

}  // namespace platform
