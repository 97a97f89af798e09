// The serialised list format: exact bytes of known lists, the length
// boundaries of the string prefix, and buffers that are cut short or lie.
#include "common/serial_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using serial_list::Bytes;

Bytes B(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

Bytes T(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes Cat(std::initializer_list<Bytes> pieces) {
  Bytes out;
  for (const Bytes& piece : pieces) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

TEST(SerialList, TwoTextsMakeFifteenBytes) {
  const Bytes expected = Cat({B({2, 0, 5}), T("hello"), B({6}), T("world!")});
  const Bytes written = serial_list::WriteTexts({"hello", "world!"});
  EXPECT_EQ(written.size(), 15u);
  EXPECT_EQ(written, expected);

  std::vector<std::string> read;
  ASSERT_TRUE(serial_list::ReadTexts(written.data(), written.size(), read));
  EXPECT_EQ(read, (std::vector<std::string>{"hello", "world!"}));
}

TEST(SerialList, EmptyListIsTwoZeroBytes) {
  EXPECT_EQ(serial_list::WriteTexts({}), B({0, 0}));
  std::vector<std::string> read{"old"};
  const Bytes empty = B({0, 0});
  ASSERT_TRUE(serial_list::ReadTexts(empty.data(), empty.size(), read));
  EXPECT_TRUE(read.empty());
}

// The length prefix switches form at 255 and again where a u16 length would
// collide with the archive's markers (0xFFFE, 0xFFFF).
TEST(SerialList, StringLengthBoundaries) {
  struct Case {
    const char* label;
    std::size_t length;
    Bytes prefix;  // after the element count
  };
  const Case cases[] = {
      {"254: one byte", 254, B({0xFE})},
      {"255: 0xFF and u16", 255, B({0xFF, 0xFF, 0x00})},
      {"256: 0xFF and u16", 256, B({0xFF, 0x00, 0x01})},
      {"65533: last u16 form", 65533, B({0xFF, 0xFD, 0xFF})},
      {"65534: u32 form, not the UTF-16 marker", 65534, B({0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0x00, 0x00})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string text(c.length, 'x');
    const Bytes written = serial_list::WriteTexts({text});
    EXPECT_EQ(written, Cat({B({1, 0}), c.prefix, T(text)}));

    std::vector<std::string> read;
    ASSERT_TRUE(serial_list::ReadTexts(written.data(), written.size(), read));
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0], text);
  }
}

TEST(SerialList, MalformedBuffersFailAndLeaveOutputUntouched) {
  struct Case {
    const char* label;
    Bytes data;
  };
  const Case cases[] = {
      {"no bytes", B({})},
      {"half a count", B({1})},
      {"count without elements", B({1, 0})},
      {"count says 3, two present", Cat({B({3, 0, 1}), T("a"), B({1}), T("b")})},
      {"count says 1, two present", Cat({B({1, 0, 1}), T("a"), B({1}), T("b")})},
      {"length beyond the end", Cat({B({1, 0, 5}), T("abc")})},
      {"long length cut", B({1, 0, 0xFF, 0x00})},
      {"long length beyond the end", Cat({B({1, 0, 0xFF, 0x00, 0x01}), T("abc")})},
      {"UTF-16 marker", B({1, 0, 0xFF, 0xFE, 0xFF, 0x00})},
      {"long count cut", B({0xFF, 0xFF, 0x01, 0x00})},
      {"huge long count", B({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00})},
      {"byte left over", B({0, 0, 0})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<std::string> texts{"kept"};
    EXPECT_FALSE(serial_list::ReadTexts(c.data.data(), c.data.size(), texts));
    EXPECT_EQ(texts, std::vector<std::string>{"kept"});
  }
}

TEST(SerialList, EveryTruncationOfAValidListFails) {
  const Bytes full = serial_list::WriteTexts({"mx.example|10.0.0.1", std::string(300, 'y'), ""});
  for (std::size_t size = 0; size < full.size(); ++size) {
    std::vector<std::string> texts{"kept"};
    EXPECT_FALSE(serial_list::ReadTexts(full.data(), size, texts)) << "size " << size;
    EXPECT_EQ(texts, std::vector<std::string>{"kept"}) << "size " << size;
  }
}

TEST(SerialList, NullBufferFails) {
  std::vector<std::string> texts{"kept"};
  EXPECT_FALSE(serial_list::ReadTexts(nullptr, 0, texts));
  EXPECT_EQ(texts, std::vector<std::string>{"kept"});
}

TEST(SerialList, LongCountFormReads) {
  const Bytes data = Cat({B({0xFF, 0xFF, 1, 0, 0, 0, 2}), T("ok")});
  std::vector<std::string> texts;
  ASSERT_TRUE(serial_list::ReadTexts(data.data(), data.size(), texts));
  EXPECT_EQ(texts, std::vector<std::string>{"ok"});
}

TEST(SerialList, AccountsAreThreeStringsEach) {
  const std::vector<CUserAccount> accounts = {{"admin", "Administrator", ""}, {"bob", "", "s3cret"}};
  const Bytes written = serial_list::WriteAccounts(accounts);
  const Bytes expected = Cat({B({2, 0, 5}), T("admin"), B({13}), T("Administrator"), B({0}),  //
                             B({3}), T("bob"), B({0}), B({6}), T("s3cret")});
  EXPECT_EQ(written, expected);

  std::vector<CUserAccount> read;
  ASSERT_TRUE(serial_list::ReadAccounts(written.data(), written.size(), read));
  EXPECT_EQ(read, accounts);

  // Cut inside the last account's password: nothing is taken.
  std::vector<CUserAccount> kept = {{"x", "y", "z"}};
  EXPECT_FALSE(serial_list::ReadAccounts(written.data(), written.size() - 1, kept));
  EXPECT_EQ(kept, (std::vector<CUserAccount>{{"x", "y", "z"}}));

  // A text list of three strings is not two accounts.
  const Bytes three_texts = serial_list::WriteTexts({"a", "b", "c"});
  EXPECT_FALSE(serial_list::ReadAccounts(three_texts.data(), three_texts.size(), kept));
}

TEST(SerialList, EmptyAccountListMeansNoAccounts) {
  const Bytes empty = B({0, 0});
  std::vector<CUserAccount> accounts = {{"admin", "Administrator", ""}};
  ASSERT_TRUE(serial_list::ReadAccounts(empty.data(), empty.size(), accounts));
  EXPECT_TRUE(accounts.empty());
}

}  // namespace
