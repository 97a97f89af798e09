// The registry helpers over the test's own hive: defaults, the type-blind
// reads, and the section key that reading creates.
#include "common/settings_registry.h"

#include <gtest/gtest.h>

#include "common/serial_list.h"
#include "support/temp_home.h"

namespace {

constexpr const char* kSection = "RegistryTest";

std::string SectionKey(const char* section) { return std::string(kProductKey) + "\\" + section; }

TEST(SettingsRegistry, ReadingCreatesTheSectionKey) {
  ASSERT_FALSE(TestHome().empty());
  EXPECT_FALSE(platform::RegKey::Exists(SectionKey("Fresh")));
  EXPECT_EQ(ReadRegDword("Fresh", "Port", 110), 110);
  EXPECT_TRUE(platform::RegKey::Exists(SectionKey("Fresh")));
  EXPECT_TRUE(OpenSettingsKey("Other").IsOpen());
  EXPECT_TRUE(platform::RegKey::Exists(SectionKey("Other")));
}

TEST(SettingsRegistry, MissingValuesGiveDefaults) {
  EXPECT_EQ(ReadRegDword(kSection, "Missing", -7), -7);
  EXPECT_EQ(ReadRegString(kSection, "Missing", "c:\\Mailboxes\\"), "c:\\Mailboxes\\");
  std::vector<std::uint8_t> data{9};
  EXPECT_FALSE(ReadRegBinary(kSection, "Missing", data));
  EXPECT_EQ(data, std::vector<std::uint8_t>{9});
}

TEST(SettingsRegistry, WrittenValuesReadBack) {
  ASSERT_TRUE(WriteRegDword(kSection, "SmtpPort", 2525));
  EXPECT_EQ(ReadRegDword(kSection, "smtpport", 25), 2525);
  ASSERT_TRUE(WriteRegDword(kSection, "Negative", -1));
  EXPECT_EQ(ReadRegDword(kSection, "Negative", 0), -1);

  ASSERT_TRUE(WriteRegString(kSection, "ServerID", "Mail 100%"));
  EXPECT_EQ(ReadRegString(kSection, "ServerID", "default"), "Mail 100%");
  ASSERT_TRUE(WriteRegString(kSection, "Empty", ""));
  EXPECT_EQ(ReadRegString(kSection, "Empty", "default"), "");

  const serial_list::Bytes list = serial_list::WriteTexts({"d1.example", "d2.example"});
  ASSERT_TRUE(WriteRegBinary(kSection, "Extensions", list.data(), list.size()));
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(ReadRegBinary(kSection, "Extensions", data));
  EXPECT_EQ(data, list);
}

TEST(SettingsRegistry, ValuesOfTheWrongShape) {
  // A number read from a value that is not 4 bytes long gives the default.
  const std::uint8_t eight[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_TRUE(WriteRegBinary(kSection, "Wide", eight, sizeof eight));
  EXPECT_EQ(ReadRegDword(kSection, "Wide", 42), 42);
  ASSERT_TRUE(WriteRegBinary(kSection, "Narrow", eight, 2));
  EXPECT_EQ(ReadRegDword(kSection, "Narrow", 42), 42);
  // The type is not checked: a 3-character text is 4 bytes with its zero.
  ASSERT_TRUE(WriteRegString(kSection, "Text", "abc"));
  EXPECT_EQ(ReadRegDword(kSection, "Text", 0), 0x00636261);
  // A text is read up to its first zero byte, whatever the type.
  const char bytes[] = {'a', 'b', '\0', 'c', 'd'};
  ASSERT_TRUE(WriteRegBinary(kSection, "Embedded", bytes, sizeof bytes));
  EXPECT_EQ(ReadRegString(kSection, "Embedded", "default"), "ab");
  ASSERT_TRUE(WriteRegBinary(kSection, "Unterminated", bytes + 3, 2));
  EXPECT_EQ(ReadRegString(kSection, "Unterminated", "default"), "cd");
}

}  // namespace
