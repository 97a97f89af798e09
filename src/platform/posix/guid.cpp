// Random GUIDs from the kernel's random source.
#include "platform/guid.h"

#include "platform/random.h"

namespace platform {

std::string NewGuidText() {
  unsigned char b[16];
  RandomBytes(b, sizeof b);
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);  // version 4: random
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);  // RFC 4122 variant
  // Written by hand: every message takes a GUID, and a formatted print of
  // sixteen numbers costs more than all its SMTP commands together.
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text = "{";
  text.reserve(38);
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(kHex[b[i] >> 4]);
    text.push_back(kHex[b[i] & 0x0F]);
  }
  text.push_back('}');
  return text;
}

}  // namespace platform
