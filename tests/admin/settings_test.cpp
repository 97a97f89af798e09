// The single values of the Advanced, Relay and IP filter pages, the
// catch-all choices, the up-down steps, the DNS test's domain, the address
// dialog's rules and quillctl's entry rules; every setting by name, typed
// and range-checked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "admin/advanced_settings.h"
#include "admin/ip_filter.h"
#include "admin/relay_settings.h"
#include "admin/setting_values.h"
#include "admin_test_home.h"
#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "platform/registry.h"
#include "platform/sockets.h"

namespace admin {
namespace {

class SettingsTest : public AdminTest {
 protected:
  static std::vector<std::string> SettingsValueNames() {
    platform::RegKey key;
    EXPECT_EQ(platform::RegKey::Open("software\\Orvalen\\Mail Service\\Settings", platform::KEY_READ, key),
              ERROR_SUCCESS);
    std::vector<platform::RegKey::Value> values;
    key.EnumValues(values);
    std::vector<std::string> names;
    for (const auto& value : values) names.push_back(value.name);
    return names;
  }
  static void StoreAccounts(std::initializer_list<const char*> users) {
    std::vector<CUserAccount> accounts;
    for (const char* user : users) accounts.push_back({user, "", ""});
    const serial_list::Bytes bytes = serial_list::WriteAccounts(accounts);
    ASSERT_TRUE(WriteRegBinary("UserAccounts", "Users", bytes.data(), bytes.size()));
  }
};

TEST_F(SettingsTest, AdvancedDefaultsAndStoredOrder) {
  CAdvancedSettings settings;
  settings.Load();
  EXPECT_EQ(settings.m_nConnectionsLimit, 20);
  EXPECT_EQ(settings.m_nTimeout, 90);
  EXPECT_EQ(settings.m_bAuthLocal, 0);
  EXPECT_EQ(settings.m_bAuthRemote, 1);
  settings.m_nTimeout = 12000;  // stored as typed
  settings.Save();
  EXPECT_EQ(SettingsValueNames(), (std::vector<std::string>{"ConnectionsLimit", "Timeout", "AuthLocal", "AuthRemote"}));
  EXPECT_EQ(ReadRegDword("Settings", "Timeout", -1), 12000);
}

TEST(UpDownTest, ArrowsStopAtTheEndsOfTheRange) {
  struct Case {
    const char* text;
    int delta;
    int expected;
  };
  const Case cases[] = {
      {"5", +1, 6},      {"5", -1, 4},         {"9998", +1, 9999}, {"9999", +1, 9999}, {"1", -1, 0},
      {"0", -1, 0},      {"12000", +1, 9999},  {"12000", -1, 9998}, {"-5", -1, 0},     {"abc", +1, 1},
      {"", -1, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(UpDownStep(c.text, c.delta), c.expected) << "'" << c.text << "' " << c.delta;
}

TEST_F(SettingsTest, CatchAllChoicesFollowTheAccounts) {
  auto choices = ReadCatchAllChoices();
  ASSERT_TRUE(choices.has_value());
  EXPECT_EQ(choices->names, std::vector<std::string>{"admin"}) << "no accounts value";
  EXPECT_EQ(choices->selected, 0);

  StoreAccounts({"carl", "anna", "bert"});
  WriteRegString("Settings", "CatchAllAccount", "BERT");
  choices = ReadCatchAllChoices();
  EXPECT_EQ(choices->names, (std::vector<std::string>{"carl", "anna", "bert"})) << "stored order, not sorted";
  EXPECT_EQ(choices->selected, 2) << "found without regard to case";

  WriteRegString("Settings", "CatchAllAccount", "zed");
  choices = ReadCatchAllChoices();
  EXPECT_EQ(choices->selected, 0) << "an unknown account selects the first";
  EXPECT_EQ(ReadRegString("Settings", "CatchAllAccount", ""), "zed") << "and is not stored";

  StoreAccounts({});
  choices = ReadCatchAllChoices();
  EXPECT_TRUE(choices->names.empty());
  EXPECT_EQ(choices->selected, -1);

  const serial_list::Bytes large = serial_list::WriteAccounts({{std::string(4200, 'u'), "", ""}});
  WriteRegBinary("UserAccounts", "Users", large.data(), large.size());
  EXPECT_FALSE(ReadCatchAllChoices().has_value()) << "a list too large leaves the combo as it is";
}

TEST_F(SettingsTest, RelayDefaultsAndStoredOrder) {
  CRelaySettings settings;
  settings.Load();
  EXPECT_EQ(settings.m_bRelayMessages, 0);
  EXPECT_EQ(settings.m_strHostName, platform::LocalHostName());
  EXPECT_EQ(settings.m_strDnsServer, "");
  EXPECT_EQ(settings.m_nMaxRecipients, 0);
  EXPECT_EQ(settings.m_nRelayTimeout, 30);
  settings.m_nRelayTimeout = 0;
  settings.Save();
  EXPECT_EQ(SettingsValueNames(),
            (std::vector<std::string>{"RelayMessages", "HostName", "DNSServer", "MaxRecipients", "RelayTimeout"}));
  EXPECT_EQ(ReadRegDword("Settings", "RelayTimeout", -1), 0);
}

TEST(DnsTestDomainTest, TheDomainOfWhatWasTypedInLowerCase) {
  struct Case {
    const char* typed;
    const char* domain;
  };
  const Case cases[] = {
      {"Joe <Joe@Example.COM>", "example.com"},
      {"user@Mail.Example.org", "mail.example.org"},
      {"Example.NET", "example.net"},
      {"  someone@host.test  ", "host.test"},
  };
  for (const Case& c : cases) EXPECT_EQ(DnsTestDomain(c.typed), c.domain) << c.typed;
}

TEST(DnsTestDomainTest, TheTestShowsTheRecordsOrTheResolversError) {
  using Texts = std::vector<std::string>;
  struct Case {
    const char* label;
    bool started;
    Texts results;
    const char* error;
    Texts shown;
  };
  const Case cases[] = {
      {"records", true, {"10 mx.example.test", "20 b.example.test"}, "", {"10 mx.example.test", "20 b.example.test"}},
      {"could not start", false, {}, "Unable to resolve 'dns.invalid'", {"Unable to resolve 'dns.invalid'"}},
      {"no reply", true, {}, "No response from DNS server", {"No response from DNS server"}},
      {"answer without records", true, {}, "", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(DnsTestMessages(c.started, c.results, c.error), c.shown) << c.label;
}

TEST_F(SettingsTest, IpFilterModeIsReadAndStored) {
  EXPECT_EQ(ReadIpFilterMode(), 0);
  SaveIpFilterMode(2);
  EXPECT_EQ(ReadIpFilterMode(), 2);
}

TEST(IpAddressFormTest, RangePartAndTexts) {
  struct Case {
    const char* label;
    const char* start;
    const char* end;
    bool range;
  };
  const Case cases[] = {
      {"new entry", "", "", false},
      {"single address", "10.0.0.1", "10.0.0.1", false},
      {"range", "10.0.0.1", "10.0.0.9", true},
      {"end only differs in case", "a.b.c.d", "A.b.c.d", true},
  };
  for (const Case& c : cases) {
    CIpAddressForm form;
    form.Init(c.start, c.end);
    EXPECT_EQ(form.m_nRange != 0, c.range) << c.label;
  }

  CIpAddressForm form;
  form.Init("192.168.*.*", "");
  EXPECT_EQ(form.m_arrStart, (AddressParts{"192", "168", "*", "*"}));
  EXPECT_EQ(form.EndText(), "");
  form.ShowRange();
  EXPECT_EQ(form.m_arrEnd, form.m_arrStart) << "a new range starts from the start";
  form.m_arrEnd[3] = "9";
  EXPECT_EQ(form.EndText(), "192.168.*.9");
  form.HideRange();
  EXPECT_EQ(form.EndText(), "") << "unticked: a single address";
  EXPECT_EQ(form.StartText(), "192.168.*.*");

  EXPECT_EQ(SplitAddress("1.2"), (AddressParts{"1", "2", "", ""}));
  EXPECT_EQ(JoinAddress({"", "", "", ""}), "...");
  EXPECT_EQ(EntryEnd("10.0.0.1", ""), "10.0.0.1");
  EXPECT_EQ(EntryEnd("10.0.0.1", "10.0.0.9"), "10.0.0.9");
}

TEST(IpAddressFormTest, PartsHoldUpToThreeDigitsOrStars) {
  for (char c : std::string("0123456789*")) EXPECT_TRUE(IsAddressPartChar(c)) << c;
  for (char c : std::string("aZ-, /:|.\b\t")) EXPECT_FALSE(IsAddressPartChar(c)) << int(c);
  EXPECT_TRUE(IsAddressPartText(""));
  EXPECT_TRUE(IsAddressPartText("25*"));
  EXPECT_FALSE(IsAddressPartText("2555"));
  EXPECT_FALSE(IsAddressPartText("1 "));
  EXPECT_TRUE(MovesToNextPart('.'));
  EXPECT_TRUE(MovesToNextPart(' '));
  EXPECT_FALSE(MovesToNextPart('\t'));
}

TEST(IpAddressFormTest, PastedAddressesFillTheParts) {
  struct Case {
    const char* pasted;
    std::optional<AddressParts> parts;
  };
  const Case cases[] = {
      {"10.0.0.1", AddressParts{"10", "0", "0", "1"}},
      {" 192.168.*.* \n", AddressParts{"192", "168", "*", "*"}},
      {"10.0", AddressParts{"10", "0", "", ""}},
      {"10.0.0.", AddressParts{"10", "0", "0", ""}},
      {"10", std::nullopt},             // no dot: pasted into the part as it is
      {"10.0.0.1.5", std::nullopt},     // five parts
      {"1000.0.0.1", std::nullopt},     // a part of four characters
      {"10.0.0.x", std::nullopt},       // a letter
      {"10. 0.0.1", std::nullopt},      // a blank inside
      {"mail.example.com", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(PastedAddressParts(c.pasted), c.parts) << "'" << c.pasted << "'";
}

// quillctl takes only entries that match as they read.
TEST(FilterEntryTest, EntriesThatMatchOtherwiseThanTheyReadAreRefused) {
  struct Case {
    const char* start;
    const char* end;
    const char* refusal;  // nullptr: taken
  };
  const Case cases[] = {
      {"10.0.0.1", "", nullptr},
      {"10.0.0.1", "10.0.0.1", nullptr},
      {"10.0.0.1", "10.0.0.255", nullptr},
      {"192.168.*.*", "", nullptr},
      {"0.0.0.0", "255.255.255.255", nullptr},
      {"10.0.0.256", "", kBadAddressText},
      {"10.0.0", "", kBadAddressText},
      {"10.0.0.1.1", "", kBadAddressText},
      {"10.0..1", "", kBadAddressText},
      {"10.0.0.x", "", kBadAddressText},
      {"0010.0.0.1", "", kBadAddressText},
      {"10.0.0.1", "10.0.0.*", kBadAddressText},
      {"192.168.*.*", "192.168.0.9", kPatternWithEndText},
      {"10.0.0.9", "10.0.0.1", kRangeBackwardsText},
      {"10.0.1.0", "10.0.0.255", kRangeBackwardsText},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FilterEntryRefusal(c.start, c.end).value_or("taken"), c.refusal ? c.refusal : "taken")
        << c.start << " " << c.end;
}

TEST_F(SettingsTest, SettingsAreFoundByNameAndNumbersStoredOnlyInRange) {
  EXPECT_EQ(FindScalarSetting("smtpport"), &settings::kSmtpPort);
  EXPECT_EQ(FindScalarSetting("Settings\\LogLevel"), &settings::kLogLevel);
  EXPECT_EQ(FindScalarSetting("Relay\\LogLevel"), nullptr) << "another section";
  EXPECT_EQ(FindScalarSetting("Users"), nullptr) << "a list is no single value";
  EXPECT_EQ(ScalarSettings().size() + 6, settings::AllSettings().size()) << "every setting but the six lists";

  struct Case {
    const settings::Setting& setting;
    const char* text;
    const char* refusal;  // nullptr: stored
    const char* read_back;
  };
  const Case cases[] = {
      {settings::kPort, "1110", nullptr, "1110"},
      {settings::kPort, " +995 ", nullptr, "995"},
      {settings::kPort, "0", "Please enter an integer between 1 and 65535.", "995"},
      {settings::kPort, "65536", "Please enter an integer between 1 and 65535.", "995"},
      {settings::kPort, "pop3", "Please enter an integer.", "995"},
      {settings::kLogLevel, "4", "Please enter an integer between 0 and 3.", "0"},
      {settings::kConnectionsLimit, "-1", "Please enter an integer between 0 and 2147483647.", "20"},
      {settings::kServerID, "Mail\r\nX-Injected: 1", kControlCharacterText, "Kestrune Mail Server SMTP (1.0.0.0)"},
      {settings::kServerID, "Our server", nullptr, "Our server"},
      {settings::kDNSServer, "", nullptr, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SettingValueRefusal(c.setting, c.text).value_or("stored"), c.refusal ? c.refusal : "stored")
        << c.setting.name << " '" << c.text << "'";
    EXPECT_EQ(WriteSettingValue(c.setting, c.text), c.refusal == nullptr) << c.setting.name << " '" << c.text << "'";
    EXPECT_EQ(ReadSettingValue(c.setting).text, c.read_back) << c.setting.name << " '" << c.text << "'";
  }
  EXPECT_TRUE(ReadSettingValue(settings::kPort).stored);
  EXPECT_FALSE(ReadSettingValue(settings::kTimeout).stored);
  EXPECT_EQ(DefaultText(settings::kHostName), kHostNameDefaultText);
  EXPECT_EQ(RangeText(settings::kScanInterval), "1 to 86400");
  EXPECT_EQ(RangeText(settings::kTimeout), "at least 0");
}

}  // namespace
}  // namespace admin
