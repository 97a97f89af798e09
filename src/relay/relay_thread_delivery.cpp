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

CRelayThread::Impl::Outcome CRelayThread::Impl::DeliverToRecipient(Courier& courier, const std::string& path,
                                                                   const std::string& recipient,
                                                                   CRelayJournalWriter& journal, QueuedFile* last) {
  const std::string domain = text::ToLower(GetAddressDomain(recipient));
  std::string servers;
  Outcome lookup_failure;
  if (!FindMailServers(domain, servers, &lookup_failure)) return lookup_failure;
  // What the failure was when no server takes the message: temporary when
  // any server failed in a way that may pass.
  Outcome failure;
  for (int i = 0;; ++i) {
    const std::string server = text::ExtractField(servers, i, '|');
    if (server.empty()) return failure;
    Log("Delivering email to '" + recipient + "' (" + server + ")");
    std::vector<std::string> addresses;
    if (!FindServerAddresses(server, addresses, lookup_failure)) {
      failure.temporary = failure.temporary || lookup_failure.temporary;
      failure.reply = lookup_failure.reply;
      continue;
    }
    // The first address that takes the connection has the dialogue.
    bool connected = false;
    for (const std::string& address : addresses) {
      // Read afresh for every attempt: the text streams from the file.
      CRelayMessage message;
      if (!message.Open(path)) return {Delivery::kUnreadable, false, false, {}};
      // No more transactions to one server at once than it is likely to
      // welcome; the wait ends early only when the relay stops.
      if (!m_HostSlots.Acquire(address)) return {Delivery::kStopped, false, false, {}};
      courier.m_Pending = {&journal, platform::FileNamePart(path), recipient, last};
      connected = StartClient(courier, address, message.Sender(), recipient, message);
      courier.m_Pending = {};
      const Attempt attempt = connected ? WaitForClient(courier) : Attempt{};
      m_HostSlots.Release(address);
      if (!connected) continue;
      if (attempt.delivered) return {Delivery::kDelivered, false, false, {}};
      // A stop cut the wait for the server short: whatever the server did,
      // the recipient is not settled and stays for the next start.
      if (platform::MessageQueue::ForCurrentThread().QuitReceived()) return {Delivery::kStopped, false, false, {}};
      if (message.ReadFailed()) return {Delivery::kUnreadable, false, false, {}};
      failure.reply = attempt.reply;
      // A reply code says what the server did with the message; without
      // one (a time-out, a closed connection) the text's fate is open.
      const char code = attempt.reply.empty() ? '0' : attempt.reply[0];
      const bool refused = code == '5' && attempt.reply.size() >= 3;
      const bool deferred = code == '4' && attempt.reply.size() >= 3;
      const bool unanswered = !refused && !deferred;
      if (attempt.text_sent && (unanswered || !Retrying())) {
        // The server has the whole text and may keep it even though no
        // acceptance came: another server would make a second copy. (While
        // the relay retries, a reply that refuses the text settles it.)
        Log("The message was sent to " + server + " without an acceptance; no other server is tried.");
        return {Delivery::kFailed, false, unanswered, attempt.reply};
      }
      if (refused && Retrying()) return {Delivery::kFailed, false, false, attempt.reply};
      if (!refused) failure.temporary = true;
      break;
    }
    if (!connected) {
      failure.temporary = true;
      failure.reply = "Cannot connect to " + server;
    }
  }
}

std::string CRelayThread::Impl::KnownMailServers(const std::string& domain) {
  std::lock_guard<std::mutex> guard(m_ServersLock);
  const std::map<std::string, std::string>& known_servers = m_Owner.m_mapMailServers;
  for (const std::string& key : {domain, std::string(kAnyDomain)}) {
    const auto it = known_servers.find(key);
    if (it != known_servers.end()) return it->second;
  }
  return {};
}

bool CRelayThread::Impl::FindMailServers(const std::string& domain, std::string& servers, Outcome* failure) {
  servers = KnownMailServers(domain);
  if (!servers.empty()) return true;

  // The lookup waits at most the relay time-out for an answer. Two senders
  // may ask for the same domain at once; both answers are alike.
  CDnsResolver resolver(m_Owner.m_nRelayTimeout);
  std::vector<std::string> results;
  if (!resolver.Lookup(m_Owner.m_strDNSServer, domain, results) || results.empty()) {
    const Outcome lookup_failure = LogLookupFailure(domain, resolver);
    if (failure) *failure = lookup_failure;
    return false;
  }
  servers = MailServersFromDns(std::move(results));
  std::lock_guard<std::mutex> guard(m_ServersLock);
  m_Owner.m_mapMailServers[domain] = servers;
  return true;
}

bool CRelayThread::Impl::FindServerAddresses(const std::string& server, std::vector<std::string>& addresses,
                                             Outcome& failure) {
  // Through the same DNS server as the MX query, so that DNSServer alone
  // decides whom the relay believes; a dotted address needs no lookup.
  CDnsResolver resolver(m_Owner.m_nRelayTimeout);
  if (resolver.ResolveHost(m_Owner.m_strDNSServer, server, addresses)) return true;
  failure = LogLookupFailure(server, resolver);
  return false;
}

CRelayThread::Impl::Outcome CRelayThread::Impl::LogLookupFailure(const std::string& name,
                                                                 const CDnsResolver& resolver) {
  // A lookup that ended without records says why when it knows (no
  // response, an invalid reply); an empty answer keeps the plain line.
  const std::string reason = resolver.GetErrorText();
  const std::string line = "DNS Lookup for '" + name + (reason.empty() ? "' failed!" : "' failed: " + reason);
  Log(line);
  // Only an answer saying the name has no such records (or does not exist)
  // is final; no answer, a server failure or a refusal may pass.
  const int code = resolver.GetResponseCode();
  const bool final_answer = code == CDnsResolver::kRcodeNoError || code == CDnsResolver::kRcodeNameError;
  return {Delivery::kFailed, !final_answer, false, line};
}

bool CRelayThread::Impl::StartClient(Courier& courier, const std::string& server, const std::string& sender,
                                     const std::string& recipient, CMessageSource& message) {
  courier.m_pClient.reset();
  courier.m_pClient = std::make_unique<CSmtpClient>(&courier);
  CSmtpClient& client = *courier.m_pClient;
  client.SetHeloName(m_Owner.m_strHeloName);
  client.SetTimeout(m_Owner.m_nRelayTimeout);
  client.SetTls(m_Owner.m_pTlsContext);
  // Cleared before the transfer, not after it: a client that completes its
  // dialogue reports its disconnection during TransmitMessage, and that
  // report must not be lost, or every delivery would wait for nothing.
  courier.m_DisconnectEvent.Reset();
  return client.TransmitMessage(server, kSmtpPort, sender, recipient, message);
}

CRelayThread::Impl::Attempt CRelayThread::Impl::WaitForClient(Courier& courier) {
  std::unique_ptr<CSmtpClient>& client = courier.m_pClient;
  if (!client) return {};
  // A client that has disconnected is done; one that stopped early with the
  // connection open is given time to see the server close it, unless the
  // thread is being stopped.
  // While the relay retries, a refused attempt is closed at once: the
  // next try comes later anyway, and every other message waits meanwhile.
  if (client->IsConnected() && Retrying() && !client->IsDelivered()) client->Disconnect();
  if (client->IsConnected() && !m_StopEvent.IsSet())
    platform::MessageQueue::ForCurrentThread().WaitWithMessages(courier.m_DisconnectEvent, kClientWaitMs);
  const Attempt attempt{client->IsDelivered(), client->IsTextSent(), client->LastReply()};
  client.reset();
  return attempt;
}
