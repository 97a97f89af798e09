// quillctl's check: each planted fault yields its finding, with the severity
// that decides the exit code, and a sound configuration yields no error.
#include "admin/config_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "support/temp_home.h"

namespace admin {
namespace {

void StoreTexts(const char* section, const char* value, const std::vector<std::string>& texts) {
  const serial_list::Bytes bytes = serial_list::WriteTexts(texts);
  ASSERT_TRUE(WriteRegBinary(section, value, bytes.data(), bytes.size()));
}

void StoreAccounts(const std::vector<CUserAccount>& accounts) {
  const serial_list::Bytes bytes = serial_list::WriteAccounts(accounts);
  ASSERT_TRUE(WriteRegBinary("UserAccounts", "Users", bytes.data(), bytes.size()));
}

TEST(ConfigurationCheckTest, EachPlantedFaultIsFound) {
  struct Case {
    const char* label;
    std::function<void()> plant;
    PortUse smtp_port_use;
    Severity severity;
    const char* subject;
    const char* text;  // a part of the finding's text
  };
  const Case cases[] = {
      {"oversized list", [] { StoreTexts("Domains", "Extensions", {std::string(5000, 'd')}); }, PortUse::Free,
       Severity::Error, "Domains\\Extensions", "takes 5005 bytes; the service ignores lists larger than 4095"},
      {"malformed accounts",
       [] {
         WriteRegBinary("UserAccounts", "Users",
                        "\x01\x00\x05"
                        "ab",
                        5);
       },
       PortUse::Free, Severity::Error, "UserAccounts\\Users", "is not a list the service can read"},
      {"port out of range", [] { WriteRegDword("Settings", "Port", 70000); }, PortUse::Free, Severity::Error,
       "Settings\\Port", "is 70000, outside 1 to 65535"},
      {"number stored as text", [] { WriteRegString("Settings", "Timeout", "120"); }, PortUse::Free, Severity::Error,
       "Settings\\Timeout", "is stored as a text (REG_SZ), not as a number: the service uses 3158577"},
      {"line break in a text", [] { WriteRegString("Settings", "ServerID", "a\r\nb"); }, PortUse::Free, Severity::Error,
       "Settings\\ServerID", "line break"},
      {"missing log folder", [] { WriteRegString("Settings", "LogPath", "c:\\NoLogs"); }, PortUse::Free,
       Severity::Error, "Settings\\LogPath", "names the folder c:\\NoLogs, which does not exist"},
      {"unsafe user name",
       [] {
         StoreAccounts({{"admin", "", "pw"}, {"queue", "", "pw"}});
       },
       PortUse::Free, Severity::Error, "UserAccounts\\Users", "the account \"queue\" cannot be used"},
      {"user listed twice",
       [] {
         StoreAccounts({{"admin", "", "pw"}, {"Admin", "", "pw2"}});
       },
       PortUse::Free, Severity::Warning, "UserAccounts\\Users", "\"Admin\" is listed more than once"},
      {"catch-all is no account", [] { WriteRegString("Settings", "CatchAllAccount", "zed"); }, PortUse::Free,
       Severity::Warning, "Settings\\CatchAllAccount", "names \"zed\", which is no account"},
      {"rule without bar", [] { StoreTexts("ForwardRules", "Rules", {"*@a.test"}); }, PortUse::Free, Severity::Warning,
       "ForwardRules\\Rules", "has no \"|\""},
      {"record without server", [] { StoreTexts("Relay", "MxRecords", {"a.test|"}); }, PortUse::Free, Severity::Warning,
       "Relay\\MxRecords", "names no mail server"},
      {"filter entry out of range", [] { StoreTexts("IpFilter", "Addresses", {"10.0.0.300"}); }, PortUse::Free,
       Severity::Warning, "IpFilter\\Addresses", "\"10.0.0.300\" does not match as it reads"},
      {"accept only nobody", [] { WriteRegDword("Settings", "IPFilterMode", 2); }, PortUse::Free, Severity::Error,
       "Settings\\IPFilterMode", "every client is refused"},
      {"one port for both", [] { WriteRegDword("Settings", "SmtpPort", 110); }, PortUse::Free, Severity::Error,
       "Settings\\SmtpPort", "the POP3 port too"},
      {"listen address that is no IPv4 address",
       [] { WriteRegString("Settings", "ListenAddresses", "127.0.0.1, localhost"); }, PortUse::Free, Severity::Error,
       "Settings\\ListenAddresses", "names \"localhost\", which is no IPv4 address"},
      {"port taken", [] {}, PortUse::OtherProgram, Severity::Error, "Settings\\SmtpPort",
       "port 25 is taken by another program"},
      {"port not testable", [] {}, PortUse::Untestable, Severity::Warning, "Settings\\SmtpPort",
       "port 25 cannot be tested"},
  };
  for (const Case& c : cases) {
    TempHome home("qp-test-check-");
    c.plant();
    CheckProbes probes;
    probes.port_use = [&](int port) { return port == 25 ? c.smtp_port_use : PortUse::ThisService; };
    const std::vector<Finding> findings = CheckConfiguration(probes);
    bool found = false;
    for (const Finding& finding : findings)
      found = found || (finding.severity == c.severity && finding.subject == c.subject &&
                        finding.text.find(c.text) != std::string::npos);
    EXPECT_TRUE(found) << c.label;
    EXPECT_EQ(HasErrors(findings), c.severity == Severity::Error) << c.label;
  }
}

// A setting that names a file (certificates, keys) is checked from its
// entry in the settings table.
TEST(ConfigurationCheckTest, SettingsThatNameFilesAreCheckedFromTheTable) {
  TempHome home("qp-test-check-");
  const std::filesystem::path folder = std::filesystem::path(home.path()) / "drive_c" / "certs";
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "server.pem") << "certificate";
  constexpr settings::Setting kCertificate{.section = "Tls", .name = "CertificateFile", .type = settings::Type::Text,
                                           .path = settings::PathKind::File};
  struct Case {
    const char* stored;  // nullptr: not stored
    const char* finding;  // the start of the finding's text, or nullptr for none
  };
  const Case cases[] = {
      {nullptr, nullptr},
      {"", nullptr},
      {"c:\\certs\\server.pem", nullptr},
      {"c:\\certs\\missing.pem", "names the file c:\\certs\\missing.pem, which cannot be read: The system cannot"},
      {"c:\\certs", "names the file c:\\certs, which cannot be read: it is a folder"},
  };
  for (const Case& c : cases) {
    if (c.stored) {
      ASSERT_TRUE(WriteRegString(kCertificate.section, kCertificate.name, c.stored));
    }
    std::vector<Finding> findings;
    CheckSettingPath(kCertificate, findings);
    ASSERT_EQ(findings.size(), c.finding ? 1u : 0u) << (c.stored ? c.stored : "not stored");
    if (c.finding) {
      EXPECT_EQ(findings[0].severity, Severity::Error);
      EXPECT_EQ(findings[0].subject, "Tls\\CertificateFile");
      EXPECT_EQ(findings[0].text.rfind(c.finding, 0), 0u) << findings[0].text;
    }
  }
}

TEST(ConfigurationCheckTest, ASoundConfigurationHasNoFindings) {
  TempHome home("qp-test-check-");
  StoreAccounts({{"admin", "Administrator", "secret"}, {"bob", "", "pw"}});
  StoreTexts("Domains", "Extensions", {"example.test"});
  StoreTexts("ForwardRules", "Rules", {"*@old.test|*@example.test"});
  StoreTexts("Relay", "MxRecords", {"*|127.0.0.2"});
  StoreTexts("IpFilter", "Addresses", {"10.0.0.1 10.0.0.9", "192.168.*.*"});
  WriteRegDword("Settings", "IPFilterMode", 2);
  std::filesystem::create_directories(std::filesystem::path(home.path()) / "drive_c" / "Logs");
  WriteRegString("Settings", "LogPath", "c:\\Logs");
  CheckProbes probes;
  probes.port_use = [](int) { return PortUse::Free; };
  const std::vector<Finding> findings = CheckConfiguration(probes);
  for (const Finding& finding : findings) ADD_FAILURE() << finding.subject << ": " << finding.text;
}

}  // namespace
}  // namespace admin
