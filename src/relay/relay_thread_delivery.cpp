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
bool ReadQueuedFile(const std::string& strPath, std::int64_t limit, std::string& strData) {
  strData.clear();
  platform::File file = platform::File::Open(strPath, platform::File::Mode::Read);
  if (!file.IsOpen()) return false;
  const std::int64_t size = file.Size();
  if (size < 0 || size > limit) return false;
  strData.reserve(static_cast<std::size_t>(size));
  char buffer[kReadChunk];
  for (;;) {
    const long got = file.Read(buffer, sizeof buffer);
    if (got < 0) return false;
    if (got == 0) return true;
    if (static_cast<std::int64_t>(strData.size()) + got > limit) return false;  // grew meanwhile
    strData.append(buffer, static_cast<std::size_t>(got));
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

RelayMessage BuildRelayMessage(std::string_view strFile) {
  RelayMessage message;
  bool bInEnvelope = true;
  std::size_t nPos = 0;
  while (nPos < strFile.size()) {
    std::size_t nEnd = strFile.find('\n', nPos);
    const std::size_t nNext = nEnd == std::string_view::npos ? strFile.size() : nEnd + 1;
    if (nEnd == std::string_view::npos) nEnd = strFile.size();
    std::string_view line = strFile.substr(nPos, nEnd - nPos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);  // part of the line end
    nPos = nNext;

    if (bInEnvelope) {
      if (text::StartsWithNoCase(line, kSenderMarker)) {
        message.strSender = SenderText(line.substr(kSenderMarker.size()));
        continue;
      }
      if (text::StartsWithNoCase(line, kReceiverMarker)) continue;
      // The first other line starts the message; its own header lines are
      // sent as they are, whatever they hold.
      bInEnvelope = false;
    }
    message.strText.append(line);
    message.strText += "\r\n";
  }
  message.strText += "\r\n.";
  return message;
}

std::string MailServersFromDns(std::vector<std::string> results) {
  SortMxByPreference(results);
  std::string strServers;
  for (const std::string& strRecord : results) {
    const std::size_t nBlank = strRecord.find(' ');
    strServers += nBlank == std::string::npos ? strRecord : strRecord.substr(nBlank + 1);
    strServers += '|';
  }
  return strServers;
}

bool CRelayThread::Impl::DeliverToRecipient(const std::string& strPath, const std::string& strRecipient) {
  const std::string strName = platform::FileNamePart(strPath);
  const std::string strDomain = text::ToLower(GetAddressDomain(strRecipient));
  std::string strServers;
  std::string strFile;
  bool bDelivered = false;
  // A file that cannot be read is not sent as an empty message.
  if (FindMailServers(strDomain, strServers) && ReadQueuedFile(strPath, kMaxRelayMessageBytes, strFile)) {
    const RelayMessage message = BuildRelayMessage(strFile);
    strFile.clear();
    strFile.shrink_to_fit();
    for (int i = 0; !bDelivered; ++i) {
      const std::string strServer = text::ExtractField(strServers, i, '|');
      if (strServer.empty()) break;
      Log("Delivering email to '" + strRecipient + "' (" + strServer + ")");
      std::vector<std::string> arrAddresses;
      if (!FindServerAddresses(strServer, arrAddresses)) continue;
      // The first address that takes the connection has the dialogue.
      for (const std::string& strAddress : arrAddresses) {
        if (!StartClient(strAddress, message.strSender, strRecipient, message.strText)) continue;
        bDelivered = WaitForClient();
        break;
      }
    }
    m_pClient.reset();
  }
  if (!bDelivered) {
    Log("Copying message to: " + m_Owner.m_strBadMailFolder);
    CopyToBadMail(strPath, strName);
  }
  return bDelivered;
}

bool CRelayThread::Impl::FindMailServers(const std::string& strDomain, std::string& strServers) {
  std::map<std::string, std::string>& mapServers = m_Owner.m_mapMailServers;
  for (const std::string& strKey : {strDomain, std::string(kAnyDomain)}) {
    const auto it = mapServers.find(strKey);
    if (it != mapServers.end()) {
      strServers = it->second;
      return true;
    }
  }

  // The lookup waits at most the relay time-out for an answer.
  CDnsResolver resolver(m_Owner.m_nRelayTimeout);
  std::vector<std::string> results;
  if (!resolver.Lookup(m_Owner.m_strDNSServer, strDomain, results) || results.empty()) {
    LogLookupFailure(strDomain, resolver.GetErrorText());
    return false;
  }
  strServers = MailServersFromDns(std::move(results));
  mapServers[strDomain] = strServers;
  return true;
}

bool CRelayThread::Impl::FindServerAddresses(const std::string& strServer,
                                             std::vector<std::string>& arrAddresses) {
  // Through the same DNS server as the MX query, so that DNSServer alone
  // decides whom the relay believes; a dotted address needs no lookup.
  CDnsResolver resolver(m_Owner.m_nRelayTimeout);
  if (resolver.ResolveHost(m_Owner.m_strDNSServer, strServer, arrAddresses)) return true;
  LogLookupFailure(strServer, resolver.GetErrorText());
  return false;
}

void CRelayThread::Impl::LogLookupFailure(const std::string& strName, const std::string& strReason) {
  // A lookup that ended without records says why when it knows (no
  // response, an invalid reply); an empty answer keeps the plain line.
  Log("DNS Lookup for '" + strName + (strReason.empty() ? "' failed!" : "' failed: " + strReason));
}

bool CRelayThread::Impl::StartClient(const std::string& strServer, const std::string& strSender,
                                     const std::string& strRecipient, const std::string& strText) {
  m_pClient.reset();
  m_pClient = std::make_unique<CSmtpClient>(this);
  m_pClient->SetHeloName(m_Owner.m_strHeloName);
  m_pClient->SetTimeout(m_Owner.m_nRelayTimeout);
  // Cleared before the transfer, not after it: a client that completes its
  // dialogue reports its disconnection during TransmitMessage, and that
  // report must not be lost, or every delivery would wait for nothing.
  m_DisconnectEvent.Reset();
  return m_pClient->TransmitMessage(strServer, kSmtpPort, strSender, strRecipient, strText);
}

bool CRelayThread::Impl::WaitForClient() {
  if (!m_pClient) return false;
  // A client that has disconnected is done; one that stopped early with the
  // connection open is given time to see the server close it, unless the
  // thread is being stopped.
  if (m_pClient->IsConnected() && !m_StopEvent.IsSet())
    platform::MessageQueue::ForCurrentThread().WaitWithMessages(m_DisconnectEvent, kClientWaitMs);
  const bool bDelivered = m_pClient->IsDelivered();
  m_pClient.reset();
  return bDelivered;
}
