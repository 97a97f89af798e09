// What every fuzz target shares: the entry point libFuzzer calls, an
// invariant check that stops the run with a message (a crash is what
// libFuzzer and the corpus replay both report and keep), and a small cursor
// over the input for targets that take a few option bytes before their data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fuzz {

[[noreturn]] inline void FailCheck(const char* file, int line, const char* condition,
                                   const std::string& detail) {
  std::fprintf(stderr, "%s:%d: invariant failed: %s\n", file, line, condition);
  if (!detail.empty()) std::fprintf(stderr, "  %s\n", detail.c_str());
  std::fflush(stderr);
  std::abort();
}

// Text with its control bytes escaped, for failure messages.
inline std::string Printable(std::string_view text) {
  static constexpr std::size_t kMaxShown = 400;
  std::string out;
  for (const char c : text.substr(0, kMaxShown)) {
    const auto b = static_cast<unsigned char>(c);
    if (b == '\r') {
      out += "\\r";
    } else if (b == '\n') {
      out += "\\n";
    } else if (b < 0x20 || b >= 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    } else {
      out += c;
    }
  }
  if (text.size() > kMaxShown) out += "...";
  return out;
}

// Reads option bytes from the front of the input; an input that runs out
// gives zeros, so every input is valid.
class InputCursor {
 public:
  InputCursor(const std::uint8_t* data, std::size_t size) : m_pData(data), m_nSize(size) {}

  std::uint8_t Byte() { return m_nPos < m_nSize ? m_pData[m_nPos++] : 0; }
  std::uint16_t Word() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | (Byte() << 8));
  }
  // Everything not read yet.
  std::string_view Rest() const {
    return m_nPos < m_nSize
               ? std::string_view(reinterpret_cast<const char*>(m_pData) + m_nPos, m_nSize - m_nPos)
               : std::string_view();
  }

 private:
  const std::uint8_t* m_pData;
  std::size_t m_nSize;
  std::size_t m_nPos = 0;
};

}  // namespace fuzz

// Checks an invariant; `detail` (a std::string expression) is only built
// when the check fails.
#define FUZZ_CHECK(condition, detail)                                              \
  do {                                                                             \
    if (!(condition)) ::fuzz::FailCheck(__FILE__, __LINE__, #condition, (detail)); \
  } while (0)
