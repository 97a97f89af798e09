// Delivery of a queued file to one remote recipient: find the mail servers
// of the recipient's domain (a pre-defined entry, "*", or a DNS MX query
// whose result is kept for the thread's life), then offer the message to
// each server in turn (its name resolved through the same DNS server), one
// SMTP transaction with a single RCPT TO, until one accepts it, or until
// one has been sent the whole text: a server that got the text may keep it
// although its acceptance never came, and the next one would make a second
// copy.
#include <algorithm>
#include <string>
#include <vector>

#include "common/address.h"
#include "common/dns_resolver.h"
#include "common/text.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "platform/paths.h"
#include "relay/relay_message.h"
#include "relay/relay_thread_impl.h"

namespace {

constexpr const char* kAnyDomain = "*";

}  // namespace

std::string MailServersFromDns(std::vector<std::string> results) {
  SortMxByPreference(results);
  std::string servers;
  for (const std::string& record : results) {
    const std::size_t blank = record.find(' ');
    servers += blank == std::string::npos ? record : record.substr(blank + 1);
    servers += '|';
  }
  return servers;
}

CRelayThread::Impl::Delivery CRelayThread::Impl::DeliverToRecipient(const std::string& path,
                                                                    const std::string& recipient,
                                                                    CRelayJournalWriter& journal) {
  const std::string domain = text::ToLower(GetAddressDomain(recipient));
  std::string servers;
  if (!FindMailServers(domain, servers)) return Delivery::kFailed;
  for (int i = 0;; ++i) {
    const std::string server = text::ExtractField(servers, i, '|');
    if (server.empty()) return Delivery::kFailed;
    Log("Delivering email to '" + recipient + "' (" + server + ")");
    std::vector<std::string> addresses;
    if (!FindServerAddresses(server, addresses)) continue;
    // The first address that takes the connection has the dialogue.
    for (const std::string& address : addresses) {
      // Read afresh for every attempt: the text streams from the file.
      CRelayMessage message;
      if (!message.Open(path)) return Delivery::kUnreadable;
      m_Pending = {&journal, platform::FileNamePart(path), recipient};
      const bool connected = StartClient(address, message.Sender(), recipient, message);
      m_Pending = {};
      if (!connected) continue;
      const Attempt attempt = WaitForClient();
      if (attempt.delivered) return Delivery::kDelivered;
      if (message.ReadFailed()) return Delivery::kUnreadable;
      if (attempt.text_sent) {
        // The server has the whole text and may keep it even though no
        // acceptance came: another server would make a second copy.
        Log("The message was sent to " + server + " without an acceptance; no other server is tried.");
        return Delivery::kFailed;
      }
      break;
    }
  }
}

bool CRelayThread::Impl::FindMailServers(const std::string& domain, std::string& servers) {
  std::map<std::string, std::string>& known_servers = m_Owner.m_mapMailServers;
  for (const std::string& key : {domain, std::string(kAnyDomain)}) {
    const auto it = known_servers.find(key);
    if (it != known_servers.end()) {
      servers = it->second;
      return true;
    }
  }

  // The lookup waits at most the relay time-out for an answer.
  CDnsResolver resolver(m_Owner.m_nRelayTimeout);
  std::vector<std::string> results;
  if (!resolver.Lookup(m_Owner.m_strDNSServer, domain, results) || results.empty()) {
    LogLookupFailure(domain, resolver.GetErrorText());
    return false;
  }
  servers = MailServersFromDns(std::move(results));
  known_servers[domain] = servers;
  return true;
}

bool CRelayThread::Impl::FindServerAddresses(const std::string& server,
                                             std::vector<std::string>& addresses) {
  // Through the same DNS server as the MX query, so that DNSServer alone
  // decides whom the relay believes; a dotted address needs no lookup.
  CDnsResolver resolver(m_Owner.m_nRelayTimeout);
  if (resolver.ResolveHost(m_Owner.m_strDNSServer, server, addresses)) return true;
  LogLookupFailure(server, resolver.GetErrorText());
  return false;
}

void CRelayThread::Impl::LogLookupFailure(const std::string& name, const std::string& reason) {
  // A lookup that ended without records says why when it knows (no
  // response, an invalid reply); an empty answer keeps the plain line.
  Log("DNS Lookup for '" + name + (reason.empty() ? "' failed!" : "' failed: " + reason));
}

bool CRelayThread::Impl::StartClient(const std::string& server, const std::string& sender,
                                     const std::string& recipient, CMessageSource& message) {
  m_pClient.reset();
  m_pClient = std::make_unique<CSmtpClient>(this);
  m_pClient->SetHeloName(m_Owner.m_strHeloName);
  m_pClient->SetTimeout(m_Owner.m_nRelayTimeout);
  // Cleared before the transfer, not after it: a client that completes its
  // dialogue reports its disconnection during TransmitMessage, and that
  // report must not be lost, or every delivery would wait for nothing.
  m_DisconnectEvent.Reset();
  return m_pClient->TransmitMessage(server, kSmtpPort, sender, recipient, message);
}

CRelayThread::Impl::Attempt CRelayThread::Impl::WaitForClient() {
  if (!m_pClient) return {};
  // A client that has disconnected is done; one that stopped early with the
  // connection open is given time to see the server close it, unless the
  // thread is being stopped.
  if (m_pClient->IsConnected() && !m_StopEvent.IsSet())
    platform::MessageQueue::ForCurrentThread().WaitWithMessages(m_DisconnectEvent, kClientWaitMs);
  const Attempt attempt{m_pClient->IsDelivered(), m_pClient->IsTextSent()};
  m_pClient.reset();
  return attempt;
}
