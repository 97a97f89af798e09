// The heap on Linux: the C library keeps freed memory for reuse; trimming
// hands what is free back to the kernel (every arena, not only the main one).
#include "platform/memory.h"

#include <malloc.h>

#include <atomic>
#include <thread>

namespace platform {

namespace {
std::atomic<bool> g_trimming{false};
}  // namespace

void ReturnFreeMemory() { ::malloc_trim(0); }

void ReturnFreeMemoryAside() {
  // One walk at a time: a walk in progress gives back what a second one
  // would.
  if (g_trimming.exchange(true)) return;
  try {
    std::thread([] {
      ::malloc_trim(0);
      g_trimming = false;
    }).detach();
  } catch (...) {
    // No thread to be had: the caller's thread walks the heap itself.
    ::malloc_trim(0);
    g_trimming = false;
  }
}

}  // namespace platform
