// Random bytes from the kernel's random source, for values that a peer must
// not be able to guess (DNS query ids, GUIDs).
#pragma once

#include <cstddef>

namespace platform {

// Fills `out` with `size` random bytes. Never fails: without any kernel
// randomness the bytes still differ from call to call, though then they
// can be guessed.
void RandomBytes(void* out, std::size_t size);

}  // namespace platform
