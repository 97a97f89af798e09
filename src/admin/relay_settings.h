// The Relay page's settings (relaying on or off, HELO host name, DNS server,
// recipient limit, outbound time-out) and the DNS test's choice of domain.
#pragma once

#include <string>
#include <vector>

#include "common/dns_resolver.h"
#include "common/settings_table.h"

namespace admin {

struct CRelaySettings {
  int m_bRelayMessages = settings::kRelayMessages.number_default;
  std::string m_strHostName;  // default: this computer's host name
  int m_nMaxRecipients = settings::kMaxRecipients.number_default;
  std::string m_strDnsServer;
  int m_nRelayTimeout = settings::kRelayTimeout.number_default;

  // Reads RelayMessages, HostName, DNSServer, MaxRecipients and RelayTimeout
  // in this order.
  void Load();
  // Writes them in the same order.
  void Save() const;
};

// The five settings, in the order Load reads them (quillctl's relay show
// and relay set).
std::vector<const settings::Setting*> RelaySettingsList();

// The domain the DNS test looks up for what the user typed: the domain part
// of an address (inside angle brackets, after the at sign, blanks removed) in
// lower case; a bare domain name unchanged apart from the case.
std::string DnsTestDomain(const std::string& typed);

// What the DNS test shows, one message box per text: every record found, in
// the order of the answer; or the resolver's error text when the lookup
// could not start or ended without records for a reason it names ("No
// response from DNS server", ...). A lookup that ended without records and
// without an error shows nothing.
// One lookup of the DNS test: the MX records of `domain` on `server` (the
// configuration file's first name server when empty), asked with the
// service's resolver on the calling thread. False when the lookup could not
// start; `error` is the resolver's error text.
bool DnsTestLookup(const std::string& server, const std::string& domain, std::vector<std::string>& results,
                   std::string& error, int port = CDnsResolver::kDnsPort);

std::vector<std::string> DnsTestMessages(bool started, const std::vector<std::string>& results,
                                         const std::string& error);

}  // namespace admin
