// Delivery of a queued file to one remote recipient: find the mail servers
// of the recipient's domain (a pre-defined entry, "*", or a DNS MX query
// whose result is kept for the thread's life), then offer the message to
// each server in turn (its name resolved through the same DNS server), one
// SMTP transaction with a single RCPT TO, until one accepts it. A recipient no server accepts puts a copy of the whole file
// into the bad-mail folder.
#include <algorithm>
#include <string>
#include <vector>

#include "common/address.h"
#include "common/dns_resolver.h"
#include "common/text.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "platform/paths.h"
#include "relay/relay_thread_impl.h"

namespace {

constexpr std::string_view kSenderMarker = "x-sender:";
constexpr std::string_view kReceiverMarker = "x-receiver:";
constexpr const char* kAnyDomain = "*";
constexpr std::size_t kReadChunk = 64 * 1024;

// Reads a whole queued file; false when it cannot be opened, is larger than
// `limit` or a read fails.
bool ReadQueuedFile(const std::string& path, std::int64_t limit, std::string& data) {
  data.clear();
  platform::File file = platform::File::Open(path, platform::File::Mode::Read);
  if (!file.IsOpen()) return false;
  const std::int64_t size = file.Size();
  if (size < 0 || size > limit) return false;
  data.reserve(static_cast<std::size_t>(size));
  char buffer[kReadChunk];
  for (;;) {
    const long got = file.Read(buffer, sizeof buffer);
    if (got < 0) return false;
    if (got == 0) return true;
    if (static_cast<std::int64_t>(data.size()) + got > limit) return false;  // grew meanwhile
    data.append(buffer, static_cast<std::size_t>(got));
  }
}

// The sender of an "x-sender:" line, trimmed. It goes out inside the MAIL
// FROM command line, so it ends at the first control character: a stray
// CR in a stored line cannot smuggle a second command to the server.
std::string SenderText(std::string_view value) {
  const auto control = std::find_if(value.begin(), value.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 && c != '\t';
  });
  return text::Trim(value.substr(0, static_cast<std::size_t>(control - value.begin())));
}

}  // namespace

RelayMessage BuildRelayMessage(std::string_view contents) {
  RelayMessage message;
  bool in_envelope = true;
  std::size_t pos = 0;
  while (pos < contents.size()) {
    std::size_t end = contents.find('\n', pos);
    const std::size_t next = end == std::string_view::npos ? contents.size() : end + 1;
    if (end == std::string_view::npos) end = contents.size();
    std::string_view line = contents.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // part of the line end
    pos = next;

    if (in_envelope) {
      if (text::StartsWithNoCase(line, kSenderMarker)) {
        message.sender = SenderText(line.substr(kSenderMarker.size()));
        continue;
      }
      if (text::StartsWithNoCase(line, kReceiverMarker)) continue;
      // The first other line starts the message; its own header lines are
      // sent as they are, whatever they hold.
      in_envelope = false;
    }
    message.text.append(line);
    message.text += "\r\n";
  }
  message.text += "\r\n.";
  return message;
}

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

bool CRelayThread::Impl::DeliverToRecipient(const std::string& path, const std::string& recipient) {
  const std::string name = platform::FileNamePart(path);
  const std::string domain = text::ToLower(GetAddressDomain(recipient));
  std::string servers;
  std::string contents;
  bool delivered = false;
  // A file that cannot be read is not sent as an empty message.
  if (FindMailServers(domain, servers) && ReadQueuedFile(path, kMaxRelayMessageBytes, contents)) {
    const RelayMessage message = BuildRelayMessage(contents);
    contents.clear();
    contents.shrink_to_fit();
    for (int i = 0; !delivered; ++i) {
      const std::string server = text::ExtractField(servers, i, '|');
      if (server.empty()) break;
      Log("Delivering email to '" + recipient + "' (" + server + ")");
      std::vector<std::string> addresses;
      if (!FindServerAddresses(server, addresses)) continue;
      // The first address that takes the connection has the dialogue.
      for (const std::string& address : addresses) {
        if (!StartClient(address, message.sender, recipient, message.text)) continue;
        delivered = WaitForClient();
        break;
      }
    }
    m_pClient.reset();
  }
  if (!delivered) {
    Log("Copying message to: " + m_Owner.m_strBadMailFolder);
    CopyToBadMail(path, name);
  }
  return delivered;
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
                                     const std::string& recipient, const std::string& text) {
  m_pClient.reset();
  m_pClient = std::make_unique<CSmtpClient>(this);
  m_pClient->SetHeloName(m_Owner.m_strHeloName);
  m_pClient->SetTimeout(m_Owner.m_nRelayTimeout);
  // Cleared before the transfer, not after it: a client that completes its
  // dialogue reports its disconnection during TransmitMessage, and that
  // report must not be lost, or every delivery would wait for nothing.
  m_DisconnectEvent.Reset();
  return m_pClient->TransmitMessage(server, kSmtpPort, sender, recipient, text);
}

bool CRelayThread::Impl::WaitForClient() {
  if (!m_pClient) return false;
  // A client that has disconnected is done; one that stopped early with the
  // connection open is given time to see the server close it, unless the
  // thread is being stopped.
  if (m_pClient->IsConnected() && !m_StopEvent.IsSet())
    platform::MessageQueue::ForCurrentThread().WaitWithMessages(m_DisconnectEvent, kClientWaitMs);
  const bool delivered = m_pClient->IsDelivered();
  m_pClient.reset();
  return delivered;
}
