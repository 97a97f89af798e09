#include "applet/model/relay_settings.h"

#include "applet/model/general_settings.h"
#include "common/address.h"
#include "common/settings_registry.h"
#include "common/text.h"
#include "platform/sockets.h"

namespace applet {

void CRelaySettings::Load() {
  m_bRelayMessages = ReadRegDword(kSettingsSection, "RelayMessages", 0);
  m_strHostName = ReadRegString(kSettingsSection, "HostName", platform::LocalHostName());
  m_strDnsServer = ReadRegString(kSettingsSection, "DNSServer", "");
  m_nMaxRecipients = ReadRegDword(kSettingsSection, "MaxRecipients", 0);
  m_nRelayTimeout = ReadRegDword(kSettingsSection, "RelayTimeout", 30);
}

void CRelaySettings::Save() const {
  WriteRegDword(kSettingsSection, "RelayMessages", m_bRelayMessages);
  WriteRegString(kSettingsSection, "HostName", m_strHostName);
  WriteRegString(kSettingsSection, "DNSServer", m_strDnsServer);
  WriteRegDword(kSettingsSection, "MaxRecipients", m_nMaxRecipients);
  WriteRegDword(kSettingsSection, "RelayTimeout", m_nRelayTimeout);
}

std::string DnsTestDomain(const std::string& typed) { return text::ToLower(GetAddressDomain(typed)); }

std::vector<std::string> DnsTestMessages(bool started, const std::vector<std::string>& results,
                                         const std::string& error) {
  if (started && !results.empty()) return results;
  if (error.empty()) return {};
  return {error};
}

}  // namespace applet
