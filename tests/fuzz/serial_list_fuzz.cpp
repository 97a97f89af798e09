// The stored list format (common/serial_list.h) on arbitrary bytes, both
// ways:
//   - reading: a failed read leaves the list untouched; a list that was read
//     writes back to bytes that read as the same list, never longer than the
//     input, and identical to it when of the same size (the writer's forms
//     are the shortest, so only the canonical input has that size);
//   - writing: a list built from the input (texts cut at newlines, with one
//     long text when the first byte asks, to reach the u16 and u32 length
//     forms) reads back as itself, as texts and as accounts.
#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "common/serial_list.h"
#include "fuzz_check.h"

namespace {

using serial_list::Bytes;

std::string Describe(const Bytes& bytes) {
  return fuzz::Printable(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

template <typename T, typename Read, typename Write>
void CheckRead(const std::uint8_t* data, std::size_t size, const std::vector<T>& sentinel, Read read,
               Write write) {
  std::vector<T> items = sentinel;
  if (!read(data, size, items)) {
    FUZZ_CHECK(items == sentinel, "a failed read changed the list");
    return;
  }
  const Bytes written = write(items);
  FUZZ_CHECK(written.size() <= size, "the written form is longer than the bytes read");
  if (written.size() == size) {
    FUZZ_CHECK(std::equal(written.begin(), written.end(), data),
               "same size, other bytes: " + Describe(written));
  }
  std::vector<T> again;
  FUZZ_CHECK(read(written.data(), written.size(), again), "the written list does not read");
  FUZZ_CHECK(again == items, "the written list reads differently");
}

// Texts from the input: cut at every newline; the first byte, when odd,
// adds a text long enough for the wider length forms.
std::vector<std::string> TextsFromInput(std::string_view input) {
  std::vector<std::string> texts;
  if (input.empty()) return texts;
  const auto mode = static_cast<unsigned char>(input[0]);
  input.remove_prefix(1);
  std::size_t start = 0;
  while (start <= input.size()) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    texts.emplace_back(input.substr(start, end - start));
    start = end + 1;
  }
  if (mode & 1) {
    // Around the form boundaries: 254/255, 65533/65534 and beyond.
    static constexpr std::size_t kLengths[] = {254, 255, 256, 65533, 65534, 65535, 65536, 70000};
    texts.emplace_back(kLengths[(mode >> 1) % std::size(kLengths)], static_cast<char>(mode));
  }
  return texts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  CheckRead<std::string>(data, size, {"kept"}, serial_list::ReadTexts, serial_list::WriteTexts);
  CheckRead<CUserAccount>(data, size, {{"kept", "Kept", "pw"}}, serial_list::ReadAccounts,
                          serial_list::WriteAccounts);

  const std::vector<std::string> texts =
      TextsFromInput(std::string_view(reinterpret_cast<const char*>(data), size));
  const Bytes written = serial_list::WriteTexts(texts);
  std::vector<std::string> read;
  FUZZ_CHECK(serial_list::ReadTexts(written.data(), written.size(), read), "written texts do not read");
  FUZZ_CHECK(read == texts, "texts read back differently");

  std::vector<CUserAccount> accounts;
  for (std::size_t i = 0; i + 2 < texts.size(); i += 3)
    accounts.push_back({texts[i], texts[i + 1], texts[i + 2]});
  const Bytes written_accounts = serial_list::WriteAccounts(accounts);
  std::vector<CUserAccount> read_accounts;
  FUZZ_CHECK(serial_list::ReadAccounts(written_accounts.data(), written_accounts.size(), read_accounts),
             "written accounts do not read");
  FUZZ_CHECK(read_accounts == accounts, "accounts read back differently");
  return 0;
}
