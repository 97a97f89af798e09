// Lenient base64 decoding for AUTH LOGIN and AUTH PLAIN (see smtp_base64.h).
#include "smtp/smtp_base64.h"

#include <vector>

namespace {

// The 6-bit value of an alphabet character, or -1 for any other character.
int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

bool DecodeBase64(const char* input, std::size_t length, unsigned char* output,
                  std::size_t* output_length) {
  if (input == nullptr || output_length == nullptr) return false;
  const std::size_t capacity = output == nullptr ? 0 : *output_length;
  std::size_t produced = 0;
  bool fits = true;
  auto put = [&](unsigned value) {
    if (produced < capacity) {
      output[produced] = static_cast<unsigned char>(value & 0xFF);
    } else {
      fits = false;
    }
    ++produced;
  };

  unsigned group = 0;  // up to four 6-bit values
  int count = 0;
  for (std::size_t i = 0; i < length; ++i) {
    const int value = Base64Value(static_cast<unsigned char>(input[i]));
    if (value < 0) continue;
    group = (group << 6) | static_cast<unsigned>(value);
    if (++count == 4) {
      put(group >> 16);
      put(group >> 8);
      put(group);
      group = 0;
      count = 0;
    }
  }
  if (count == 3) {
    put(group >> 10);
    put(group >> 2);
  } else if (count == 2) {
    put(group >> 4);
  }
  *output_length = produced;
  return fits;
}

std::string DecodeBase64Line(std::string_view line) {
  std::vector<unsigned char> buffer(line.size() + 1, 0);
  std::size_t length = buffer.size();
  if (!DecodeBase64(line.data(), line.size(), buffer.data(), &length)) return std::string(line);
  return std::string(reinterpret_cast<const char*>(buffer.data()), length);
}
