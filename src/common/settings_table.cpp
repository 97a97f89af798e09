// The settings table's list and its reads and writes (see settings_table.h).
#include "common/settings_table.h"

#include <algorithm>

#include "common/settings_registry.h"
#include "common/text.h"
#include "platform/ascii.h"
#include "platform/sockets.h"

namespace settings {

namespace {

constexpr const Setting* kAll[] = {
    &kMailFolder, &kPort,       &kSmtpPort,      &kLogLevel,         &kLogPath,      &kIPFilterMode,
    &kConnectionsLimit, &kTimeout, &kRelayTimeout, &kAuthLocal,      &kAuthRemote,   &kRelayMessages,
    &kHostName,   &kDNSServer,  &kMaxRecipients, &kServerID,         &kCatchAllAccount, &kScanInterval,
    &kListenAddresses,
    &kUsers,      &kMxRecords,  &kDomains,       &kIPFilter,         &kForwardRules, &kBlockMailFrom,
    &kMaxMessageSize,
    &kTlsCertificate, &kTlsPrivateKey, &kTlsAuthOnly, &kSmtpsPort, &kPop3sPort, &kRelayTls,
    &kRetryFor, &kRetrySchedule,
};

}  // namespace

std::span<const Setting* const> AllSettings() { return kAll; }

const Setting* FindSetting(std::string_view section, std::string_view name) {
  for (const Setting* setting : kAll) {
    if (platform::EqualsNoCase(setting->section, section) && platform::EqualsNoCase(setting->name, name))
      return setting;
  }
  return nullptr;
}

std::vector<std::string> ListenAddressList(std::string_view text) {
  std::vector<std::string> addresses;
  for (const std::string& item : text::Split(text, ',')) {
    std::string address = text::Trim(item);
    if (address.empty() || std::find(addresses.begin(), addresses.end(), address) != addresses.end()) continue;
    addresses.push_back(std::move(address));
  }
  return addresses;
}

int ReadNumber(const Setting& setting) {
  return ReadRegDword(setting.section, setting.name, setting.number_default);
}

std::string TextDefault(const Setting& setting) {
  return setting.text_default != nullptr ? std::string(setting.text_default) : platform::LocalHostName();
}

std::string ReadText(const Setting& setting) {
  return ReadRegString(setting.section, setting.name, TextDefault(setting));
}

std::string ReadShownText(const Setting& setting) {
  if (setting.shown_default == nullptr) return ReadText(setting);
  return ReadRegString(setting.section, setting.name, setting.shown_default);
}

bool WriteNumber(const Setting& setting, int number) {
  return WriteRegDword(setting.section, setting.name, number);
}

bool WriteText(const Setting& setting, std::string_view text) {
  return WriteRegString(setting.section, setting.name, text);
}

}  // namespace settings
