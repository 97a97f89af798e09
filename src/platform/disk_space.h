// Free space of a file system, for refusing work before the disk is full.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

// Bytes an unprivileged writer may still use on the file system that holds
// `path` (Windows or native form), or its nearest existing parent folder
// while it is not made yet. False when nothing of it can be examined.
bool FreeDiskSpace(std::string_view path, std::uint64_t& bytes);

}  // namespace platform
