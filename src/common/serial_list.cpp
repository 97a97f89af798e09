// The serialised list format of the registry's list values (see serial_list.h).
//
// Besides the short forms every stored list uses, the reader and the writer
// know the long forms of the archive format the lists come from: a count of
// 0xFFFF followed by a u32 count, and a string length of 0xFF 0xFFFF followed
// by a u32 length. No list that fits a registry value needs them, but a
// writer that meets a text of 65534 bytes or more must not emit a u16 length
// that a reader would take for a marker. The marker 0xFF 0xFFFE (a string in
// UTF-16) is never written by this system and is refused.
#include "common/serial_list.h"

#include <utility>

namespace serial_list {

namespace {

constexpr std::uint8_t kLongLengthByte = 0xFF;     // a u16 length follows
constexpr std::uint16_t kLongCountMark = 0xFFFF;   // a u32 count follows
constexpr std::uint16_t kLongLengthMark = 0xFFFF;  // after 0xFF: a u32 length follows
constexpr std::uint16_t kWideStringMark = 0xFFFE;  // after 0xFF: UTF-16 text (refused)

// A bounds-checked reader over the value's bytes: every read states how many
// bytes it needs and fails, without moving, when fewer are left.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(data ? size : 0) {}

  std::size_t Left() const { return size_ - pos_; }

  bool ReadU8(std::uint8_t& value) {
    if (Left() < 1) return false;
    value = data_[pos_++];
    return true;
  }
  bool ReadU16(std::uint16_t& value) {
    if (Left() < 2) return false;
    value = static_cast<std::uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
    pos_ += 2;
    return true;
  }
  bool ReadU32(std::uint32_t& value) {
    if (Left() < 4) return false;
    value = static_cast<std::uint32_t>(data_[pos_]) | (static_cast<std::uint32_t>(data_[pos_ + 1]) << 8) |
            (static_cast<std::uint32_t>(data_[pos_ + 2]) << 16) |
            (static_cast<std::uint32_t>(data_[pos_ + 3]) << 24);
    pos_ += 4;
    return true;
  }
  bool ReadBytes(std::size_t count, std::string& out) {
    if (Left() < count) return false;
    out.assign(reinterpret_cast<const char*>(data_ + pos_), count);
    pos_ += count;
    return true;
  }

  bool ReadCount(std::size_t& count) {
    std::uint16_t short_count = 0;
    if (!ReadU16(short_count)) return false;
    if (short_count != kLongCountMark) {
      count = short_count;
      return true;
    }
    std::uint32_t long_count = 0;
    if (!ReadU32(long_count)) return false;
    count = long_count;
    return true;
  }

  bool ReadString(std::string& out) {
    std::uint8_t first = 0;
    if (!ReadU8(first)) return false;
    if (first != kLongLengthByte) return ReadBytes(first, out);
    std::uint16_t length = 0;
    if (!ReadU16(length)) return false;
    if (length == kWideStringMark) return false;
    if (length != kLongLengthMark) return ReadBytes(length, out);
    std::uint32_t long_length = 0;
    if (!ReadU32(long_length)) return false;
    return ReadBytes(long_length, out);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

void WriteU16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void WriteU32(Bytes& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void WriteCount(Bytes& out, std::size_t count) {
  if (count < kLongCountMark) {
    WriteU16(out, static_cast<std::uint16_t>(count));
    return;
  }
  WriteU16(out, kLongCountMark);
  WriteU32(out, static_cast<std::uint32_t>(count));
}

void WriteString(Bytes& out, const std::string& text) {
  const std::size_t length = text.size();
  if (length < kLongLengthByte) {
    out.push_back(static_cast<std::uint8_t>(length));
  } else if (length < kWideStringMark) {
    out.push_back(kLongLengthByte);
    WriteU16(out, static_cast<std::uint16_t>(length));
  } else {
    out.push_back(kLongLengthByte);
    WriteU16(out, kLongLengthMark);
    WriteU32(out, static_cast<std::uint32_t>(length));
  }
  out.insert(out.end(), text.begin(), text.end());
}

// Every element takes at least one byte, so a count above the bytes left is a
// lie: refusing it early also keeps a hostile count from sizing the result.
bool ReadCountOf(Cursor& cursor, std::size_t min_element_size, std::size_t& count) {
  if (!cursor.ReadCount(count)) return false;
  return count <= cursor.Left() / min_element_size;
}

}  // namespace

Bytes WriteTexts(const std::vector<std::string>& texts) {
  Bytes out;
  WriteCount(out, texts.size());
  for (const std::string& text : texts) WriteString(out, text);
  return out;
}

Bytes WriteAccounts(const std::vector<CUserAccount>& accounts) {
  Bytes out;
  WriteCount(out, accounts.size());
  for (const CUserAccount& account : accounts) {
    WriteString(out, account.m_strUser);
    WriteString(out, account.m_strFullName);
    WriteString(out, account.m_strPassword);
  }
  return out;
}

bool ReadTexts(const std::uint8_t* data, std::size_t size, std::vector<std::string>& texts) {
  Cursor cursor(data, size);
  std::size_t count = 0;
  if (!ReadCountOf(cursor, 1, count)) return false;
  std::vector<std::string> result(count);
  for (std::string& text : result) {
    if (!cursor.ReadString(text)) return false;
  }
  if (cursor.Left() != 0) return false;
  texts = std::move(result);
  return true;
}

bool ReadAccounts(const std::uint8_t* data, std::size_t size, std::vector<CUserAccount>& accounts) {
  constexpr std::size_t kMinAccountSize = 3;  // three empty strings
  Cursor cursor(data, size);
  std::size_t count = 0;
  if (!ReadCountOf(cursor, kMinAccountSize, count)) return false;
  std::vector<CUserAccount> result(count);
  for (CUserAccount& account : result) {
    if (!cursor.ReadString(account.m_strUser) || !cursor.ReadString(account.m_strFullName) ||
        !cursor.ReadString(account.m_strPassword)) {
      return false;
    }
  }
  if (cursor.Left() != 0) return false;
  accounts = std::move(result);
  return true;
}

}  // namespace serial_list
