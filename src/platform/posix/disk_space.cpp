// Free space on Linux: statvfs(3) of the mapped path.
#include "platform/disk_space.h"

#include <sys/statvfs.h>

#include <string>

#include "platform/paths.h"

namespace platform {

bool FreeDiskSpace(std::string_view path, std::uint64_t& bytes) {
  struct statvfs info {};
  // The folder is mostly there as spelled: MapPath's look is spared then.
  std::string native = SpelledPath(path);
  if (native.empty() || ::statvfs(native.c_str(), &info) != 0) {
    native = MapPath(path);
    while (::statvfs(native.c_str(), &info) != 0) {
      // A folder made only when the first mail comes: its parent's file
      // system is where it will be.
      while (!native.empty() && native.back() == '/') native.pop_back();
      const std::size_t slash = native.rfind('/');
      if (slash == std::string::npos) return false;
      native.resize(slash == 0 ? 1 : slash);
    }
  }
  // Blocks free to others than root: the service may run as root, but the
  // reserve is the system's, not the mail's.
  bytes = static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
  return true;
}

}  // namespace platform
