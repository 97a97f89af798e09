// DecodeBase64 and DecodeBase64Line (smtp/smtp_base64.h) against a plain
// reference decoder of the same lenient rules, with every output capacity
// from the input's first byte: the decoder never writes past the capacity,
// reports the full decoded length, succeeds exactly when it fits, and agrees
// with the reference byte for byte. Encoding the input and decoding it again
// gives the input back.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "smtp/smtp_base64.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int ValueOf(char c) {
  const char* at = c == 0 ? nullptr : std::strchr(kAlphabet, c);
  return at == nullptr ? -1 : static_cast<int>(at - kAlphabet);
}

// The reference: collect the 6-bit values, then take whole bytes; a final
// group of 2 or 3 values gives 1 or 2 bytes, a lone value nothing.
std::string Reference(std::string_view input) {
  std::vector<int> values;
  for (const char c : input) {
    const int v = ValueOf(c);
    if (v >= 0) values.push_back(v);
  }
  std::string out;
  std::size_t i = 0;
  for (; i + 4 <= values.size(); i += 4) {
    const unsigned group = (values[i] << 18) | (values[i + 1] << 12) | (values[i + 2] << 6) | values[i + 3];
    out.push_back(static_cast<char>(group >> 16));
    out.push_back(static_cast<char>((group >> 8) & 0xFF));
    out.push_back(static_cast<char>(group & 0xFF));
  }
  const std::size_t left = values.size() - i;
  if (left >= 2) out.push_back(static_cast<char>((values[i] << 2) | (values[i + 1] >> 4)));
  if (left == 3) out.push_back(static_cast<char>(((values[i + 1] & 0x0F) << 4) | (values[i + 2] >> 2)));
  return out;
}

std::string Encode(std::string_view bytes) {
  std::string out;
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned group = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kAlphabet[(group >> shift) & 0x3F]);
  }
  const std::size_t left = bytes.size() - i;
  if (left > 0) {
    unsigned group = static_cast<unsigned char>(bytes[i]) << 16;
    if (left == 2) group |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    out.push_back(kAlphabet[(group >> 18) & 0x3F]);
    out.push_back(kAlphabet[(group >> 12) & 0x3F]);
    out.push_back(left == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=');
    out.push_back('=');
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::InputCursor cursor(data, size);
  const std::size_t capacity = cursor.Byte();
  // A copy, so that even an empty input has a buffer (a null input means
  // something else to the decoder).
  const std::string input(cursor.Rest());
  const std::string expected = Reference(input);

  // Exactly `capacity` bytes, so that a write past it is outside the block.
  std::unique_ptr<unsigned char[]> output(new unsigned char[capacity]);
  std::size_t length = capacity;
  const bool ok = DecodeBase64(input.data(), input.size(), output.get(), &length);
  FUZZ_CHECK(length == expected.size(),
             "reported length " + std::to_string(length) + ", expected " + std::to_string(expected.size()));
  FUZZ_CHECK(ok == (expected.size() <= capacity), "result does not tell whether the bytes fit");
  const std::size_t written = std::min(capacity, expected.size());
  FUZZ_CHECK(std::memcmp(output.get(), expected.data(), written) == 0, "decoded bytes differ");

  const std::string line = DecodeBase64Line(input);
  FUZZ_CHECK(line == expected, "DecodeBase64Line: " + fuzz::Printable(line));

  std::size_t none = 0;
  FUZZ_CHECK(DecodeBase64(input.data(), input.size(), nullptr, &none) == expected.empty(),
             "no output buffer succeeds only for no bytes");
  FUZZ_CHECK(!DecodeBase64(input.data(), input.size(), output.get(), nullptr), "null length pointer");

  const std::string encoded = Encode(input);
  FUZZ_CHECK(DecodeBase64Line(encoded) == input, "encoded input does not decode to itself");
  return 0;
}
