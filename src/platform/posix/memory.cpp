// The heap on Linux: the C library keeps freed memory for reuse; trimming
// hands what is free back to the kernel (every arena, not only the main one).
#include "platform/memory.h"

#include <malloc.h>

namespace platform {

void ReturnFreeMemory() { ::malloc_trim(0); }

}  // namespace platform
