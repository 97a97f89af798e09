#include "admin/relay_settings.h"

#include "common/address.h"
#include "common/text.h"

namespace admin {

namespace {

constexpr std::array kRelayFields = {
    settings::Bind(settings::kRelayMessages, &CRelaySettings::m_bRelayMessages),
    settings::Bind(settings::kHostName, &CRelaySettings::m_strHostName),
    settings::Bind(settings::kDNSServer, &CRelaySettings::m_strDnsServer),
    settings::Bind(settings::kMaxRecipients, &CRelaySettings::m_nMaxRecipients),
    settings::Bind(settings::kRelayTimeout, &CRelaySettings::m_nRelayTimeout),
};

}  // namespace

std::vector<const settings::Setting*> RelaySettingsList() {
  std::vector<const settings::Setting*> list;
  for (const auto& field : kRelayFields) list.push_back(field.setting);
  return list;
}

void CRelaySettings::Load() { settings::LoadFields(*this, kRelayFields); }

void CRelaySettings::Save() const { settings::SaveFields(*this, kRelayFields); }

std::string DnsTestDomain(const std::string& typed) { return text::ToLower(GetAddressDomain(typed)); }

bool DnsTestLookup(const std::string& server, const std::string& domain, std::vector<std::string>& results,
                   std::string& error, int port) {
  CDnsResolver resolver;
  resolver.SetServerPort(port);
  const bool started = resolver.Lookup(server, domain, results);
  error = resolver.GetErrorText();
  return started;
}

std::vector<std::string> DnsTestMessages(bool started, const std::vector<std::string>& results,
                                         const std::string& error) {
  if (started && !results.empty()) return results;
  if (error.empty()) return {};
  return {error};
}

}  // namespace admin
