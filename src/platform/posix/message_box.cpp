// Message boxes and beeps of a program without a desktop: standard error.
#include "platform/message_box.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace platform {

void MessageBoxToStderr(std::string_view text, std::string_view caption) {
  std::string line;
  line.append(caption).append(": ").append(text).append("\n");
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void Beep(DWORD /*frequency_hz*/, DWORD /*duration_ms*/) {
  if (::isatty(STDERR_FILENO)) {
    const char bel = '\a';
    if (::write(STDERR_FILENO, &bel, 1) < 0) {
      // A beep that cannot be written is no error.
    }
  }
}

}  // namespace platform
