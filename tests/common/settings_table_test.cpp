// The settings table: one entry per registry value, found by its names in
// any case, read with its own default when absent and written back as
// stored; the bindings a page loads and saves through.
#include "common/settings_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "common/settings_registry.h"
#include "support/temp_home.h"
#include "platform/sockets.h"

namespace {

TEST(SettingsTable, EveryValueIsListedOnceAndFoundInAnyCase) {
  std::set<std::pair<std::string, std::string>> seen;
  for (const settings::Setting* setting : settings::AllSettings()) {
    EXPECT_TRUE(seen.insert({setting->section, setting->name}).second) << setting->name;
    EXPECT_NE(std::string(setting->meaning), "") << setting->name;
    EXPECT_EQ(settings::FindSetting(setting->section, setting->name), setting);
    if (setting->type == settings::Type::Number) {
      EXPECT_LE(setting->min, setting->number_default) << setting->name;
      EXPECT_GE(setting->max, setting->number_default) << setting->name;
    }
    if (setting->type == settings::Type::List) {
      EXPECT_GT(setting->service_max_bytes, 0u) << setting->name;
    }
  }
  EXPECT_EQ(settings::FindSetting("settings", "SMTPPORT"), &settings::kSmtpPort);
  EXPECT_EQ(settings::FindSetting("Settings", "NoSuchValue"), nullptr);
}

TEST(SettingsTable, AbsentValuesReadAsTheirDefaults) {
  ASSERT_FALSE(TestHome().empty());
  const struct {
    const settings::Setting& setting;
    std::string text;  // for texts
    int number;        // for numbers
  } cases[] = {
      {settings::kMailFolder, "c:\\Mailboxes\\", 0},
      {settings::kServerID, "Kestrune Mail Server SMTP (1.0.0.0)", 0},
      {settings::kCatchAllAccount, "admin", 0},
      {settings::kHostName, platform::LocalHostName(), 0},
      {settings::kPort, "", 110},
      {settings::kSmtpPort, "", 25},
      {settings::kAuthRemote, "", 1},
      {settings::kTimeout, "", 90},
      {settings::kScanInterval, "", 60},
  };
  for (const auto& c : cases) {
    if (c.setting.type == settings::Type::Text)
      EXPECT_EQ(settings::ReadText(c.setting), c.text) << c.setting.name;
    else
      EXPECT_EQ(settings::ReadNumber(c.setting), c.number) << c.setting.name;
  }
}

struct PageValues {
  std::string m_strMailFolder;
  int m_nPort = 0;
};

TEST(SettingsTable, BoundFieldsLoadShownDefaultsAndSaveWhatTheyHold) {
  constexpr std::array kFields = {
      settings::Bind(settings::kMailFolder, &PageValues::m_strMailFolder),
      settings::Bind(settings::kPort, &PageValues::m_nPort),
  };
  PageValues page;
  settings::LoadFields(page, kFields);
  EXPECT_EQ(page.m_strMailFolder, "C:\\Mailboxes") << "the page's own spelling of the default";
  EXPECT_EQ(page.m_nPort, 110);

  page.m_strMailFolder = "d:\\Mail";
  page.m_nPort = 1110;
  settings::SaveFields(page, kFields);
  EXPECT_EQ(ReadRegString("Settings", "MailFolder", ""), "d:\\Mail");
  EXPECT_EQ(settings::ReadNumber(settings::kPort), 1110);
  PageValues reread;
  settings::LoadFields(reread, kFields);
  EXPECT_EQ(reread.m_strMailFolder, "d:\\Mail");
  EXPECT_EQ(reread.m_nPort, 1110);
  // The other tests of this program find the section as it was.
  platform::RegKey key = OpenSettingsKey("Settings");
  key.DeleteValue("MailFolder");
  key.DeleteValue("Port");
}

}  // namespace
