// The lenient base64 decoder of AUTH: the RFC 4648 alphabet, every other
// character (padding "=" and blanks included) skipped.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Decodes `length` characters of `input` into `output`. `*output_length`
// holds the capacity on entry and the full decoded length on return; when
// the decoded bytes exceed the capacity, writing stops there and the result
// is false. Four alphabet characters give three bytes; a final group of
// three gives two, of two gives one, of one gives none. A null input or
// length pointer gives false.
bool DecodeBase64(const char* input, std::size_t length, unsigned char* output,
                  std::size_t* output_length);
// The decoded bytes of a line as a text (the line itself should decoding fail).
std::string DecodeBase64Line(std::string_view line);
