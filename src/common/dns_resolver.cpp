// CDnsResolver: one lookup on the calling thread (see dns_resolver.h).
//
// A lookup: resolve the server text to an address, build the query, open the
// query socket (UDP: send at once; TCP: connect, then send with the length
// field), then pump the thread's message queue until the reply is handled,
// the time is up or WM_QUIT arrives. A referral (a non-authoritative reply
// naming another server with its address) sends the same query by UDP to
// that server, at most kMaxReferrals times per lookup.
#include "common/dns_resolver.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "common/dns_message.h"
#include "common/text.h"
#include "platform/messages.h"
#include "platform/sync.h"

namespace {

// poll(2) bit for "readable"; the message queue passes watch events to poll.
constexpr short kPollReadable = 0x0001;

constexpr const char* kNoResponse = "No response from DNS server";
constexpr const char* kInvalidResponse = "Invalid response from DNS server";

// Connect failures that mean the connect could not even be started, as
// opposed to an attempt that the network turned down.
bool IsConnectRequestError(int nError) {
  return nError == WSAEINVAL || nError == WSAENOTSOCK || nError == WSAEADDRINUSE;
}

std::string ConnectFailureText(int nError) {
  const char* reason = "Unable to connect";
  if (nError == WSAECONNREFUSED)
    reason = "Connection refused";
  else if (nError == WSAETIMEDOUT || nError == WSAENETUNREACH || nError == WSAEHOSTUNREACH)
    reason = "Unable to contact host";
  return text::Format("%s (%u)", reason, static_cast<unsigned>(nError));
}

}  // namespace

CDnsResolver::CDnsResolver(int nTimeoutSeconds) { SetTimeout(nTimeoutSeconds); }

CDnsResolver::~CDnsResolver() { CloseQuerySocket(); }

void CDnsResolver::SetTimeout(int nTimeoutSeconds) {
  const int nSeconds = nTimeoutSeconds > 0 ? nTimeoutSeconds : kDefaultTimeoutSeconds;
  m_nTimeoutMs = static_cast<DWORD>(nSeconds) * 1000u;
}

bool CDnsResolver::Lookup(const std::string& strServer, const std::string& strName,
                          std::vector<std::string>& results) {
  CloseQuerySocket();
  m_strErrorText.clear();
  results.clear();
  m_pResults = &results;
  m_bDone = false;
  m_nReferrals = 0;

  const std::string strHost = strServer.empty() ? FirstNameServer(m_strResolvConfPath) : strServer;
  m_strServerAddress = strHost.empty() ? std::string() : platform::ResolveHostIPv4(strHost);
  if (m_strServerAddress.empty()) {
    m_strErrorText = text::Format("Unable to resolve '%s'", strHost.c_str());
    m_pResults = nullptr;
    return false;
  }

  m_strQueryName = strName;
  const dns::DnsHeader header{m_wQueryId,     m_wQueryFlags,     m_wQuestionCount,
                              m_wAnswerCount, m_wAuthorityCount, m_wAdditionalCount};
  if (!dns::BuildDnsQuery(header, m_strQueryName, m_wQueryType, m_wQueryClass, false, m_vecQuery)) {
    // Checked before any socket exists: nothing leaves the machine.
    Finish("Query is not a valid domain");
    m_pResults = nullptr;
    return true;
  }

  if (!OpenQuerySocket(m_strServerAddress, m_nTransport)) {
    CloseQuerySocket();
    m_pResults = nullptr;
    return false;
  }
  WaitUntilDone();
  CloseQuerySocket();
  m_pResults = nullptr;
  return true;
}

bool CDnsResolver::OpenQuerySocket(const std::string& strAddress, int nTransport) {
  CloseQuerySocket();
  m_strServerAddress = strAddress;
  m_bTcpSocket = nTransport == kTransportTcp;
  if (m_bTcpSocket) {
    m_socket = platform::Socket::Connect(strAddress, m_nServerPort, m_nTimeoutMs);
    if (!m_socket.IsValid()) {
      const int nError = platform::LastSocketError();
      if (IsConnectRequestError(nError)) {
        m_strErrorText = text::Format("Connect request failed (%u)", static_cast<unsigned>(nError));
        return false;
      }
      Finish(ConnectFailureText(nError));
      return true;
    }
  } else {
    m_socket = platform::Socket::Udp();
    if (!m_socket.IsValid()) {
      m_strErrorText = "Unable to bind local address";
      return false;
    }
  }
  m_pQueue = &platform::MessageQueue::ForCurrentThread();
  m_nWatchId =
      m_pQueue->WatchFd(m_socket.fd(), kPollReadable, [this](short) { m_bReadable = true; });
  m_nTries = 0;
  SendQuery();
  return true;
}

void CDnsResolver::SendQuery() {
  ++m_nTries;
  // UDP shares the time-out among its tries; TCP has one try.
  const DWORD nTryMs = m_bTcpSocket ? m_nTimeoutMs : m_nTimeoutMs / kMaxTries;
  m_nDeadline = platform::TickCountMs() + nTryMs;
  if (!m_bTcpSocket) {
    if (!m_socket.SendTo(m_vecQuery.data(), m_vecQuery.size(), m_strServerAddress, m_nServerPort))
      Finish(text::Format("Unable to send UDP request (%u)",
                          static_cast<unsigned>(platform::LastSocketError())));
    return;
  }
  std::vector<std::uint8_t> message;
  message.reserve(m_vecQuery.size() + 2);
  message.push_back(static_cast<std::uint8_t>(m_vecQuery.size() >> 8));
  message.push_back(static_cast<std::uint8_t>(m_vecQuery.size() & 0xFF));
  message.insert(message.end(), m_vecQuery.begin(), m_vecQuery.end());
  m_socket.SetSendTimeout(m_nTimeoutMs);
  if (!m_socket.SendAll(message.data(), message.size()))
    Finish(text::Format("Unable to send query (%u)\n",
                        static_cast<unsigned>(platform::LastSocketError())));
}

void CDnsResolver::CloseQuerySocket() {
  if (m_nWatchId != 0 && m_pQueue != nullptr) m_pQueue->UnwatchFd(m_nWatchId);
  m_nWatchId = 0;
  m_socket.Close();
  m_bReadable = false;
  m_vecTcpReply.clear();
}

void CDnsResolver::Finish(const std::string& strError) {
  m_strErrorText = strError;
  CloseQuerySocket();
  m_bDone = true;
}

void CDnsResolver::WaitUntilDone() {
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  while (!m_bDone) {
    if (m_bReadable) {
      m_bReadable = false;
      OnReadable();
      continue;
    }
    const std::uint64_t nNow = platform::TickCountMs();
    if (nNow >= m_nDeadline) {
      OnTimeout();
      continue;
    }
    // False: WM_QUIT was taken (it stays remembered for the thread's own
    // loop); the lookup ends without results.
    if (!queue.PumpOnce(static_cast<DWORD>(m_nDeadline - nNow))) break;
  }
}

void CDnsResolver::OnTimeout() {
  if (!m_bTcpSocket && m_nTries < kMaxTries) {
    SendQuery();  // the datagram (or its reply) may have been lost
    return;
  }
  Finish(kNoResponse);
}

void CDnsResolver::OnReadable() {
  if (!m_socket.IsValid()) return;
  if (!m_bTcpSocket) {
    std::vector<std::uint8_t> reply(kMaxUdpReply);
    const long n = m_socket.ReceiveFrom(reply.data(), reply.size());
    if (n < 0) {
      if (platform::LastSocketError() != WSAEWOULDBLOCK) Finish(kNoResponse);
      return;
    }
    CloseQuerySocket();
    HandleResponse(reply.data(), static_cast<std::size_t>(n));
    return;
  }

  // TCP: the reply may come in pieces; it is complete when the length field
  // and as many bytes as it announces are in.
  std::uint8_t chunk[4096];
  const long n = m_socket.Receive(chunk, sizeof chunk);
  if (n < 0 && platform::LastSocketError() == WSAEWOULDBLOCK) return;
  if (n <= 0) {
    Finish(kNoResponse);  // closed or failed before the whole reply came
    return;
  }
  m_vecTcpReply.insert(m_vecTcpReply.end(), chunk, chunk + n);
  if (m_vecTcpReply.size() < 2) return;
  const std::size_t nLength = (static_cast<std::size_t>(m_vecTcpReply[0]) << 8) | m_vecTcpReply[1];
  if (m_vecTcpReply.size() < 2 + nLength) return;
  std::vector<std::uint8_t> reply(m_vecTcpReply.begin() + 2,
                                  m_vecTcpReply.begin() + 2 + static_cast<std::ptrdiff_t>(nLength));
  CloseQuerySocket();
  HandleResponse(reply.data(), reply.size());
}

void CDnsResolver::HandleResponse(const std::uint8_t* pData, std::size_t nSize) {
  dns::DnsResponse response;
  if (!dns::ParseDnsResponse({pData, nSize}, response)) {
    Finish(kInvalidResponse);
    return;
  }
  if (m_bFollowReferrals && m_nReferrals < kMaxReferrals) {
    const std::string strReferral = dns::FindReferralServer(response);
    if (!strReferral.empty()) {
      const std::string strAddress = platform::ResolveHostIPv4(strReferral);
      if (strAddress.empty()) {
        Finish(text::Format("Unable to resolve '%s'", strReferral.c_str()));
        return;
      }
      ++m_nReferrals;
      if (!OpenQuerySocket(strAddress, kTransportUdp)) Finish(m_strErrorText);
      return;
    }
  }
  for (const dns::DnsRecord& record : response.answers) m_pResults->push_back(record.text);
  Finish(std::string());
}

void SortMxByPreference(std::vector<std::string>& results) {
  // Key: the preference of an MX text, or past every 16-bit preference for
  // texts that have none.
  constexpr std::uint32_t kNoPreference = 0x10000;
  auto preference = [](const std::string& s) {
    std::uint32_t value = 0;
    std::size_t i = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
      value = value * 10 + static_cast<std::uint32_t>(s[i] - '0');
      if (value >= kNoPreference) return kNoPreference;
    }
    return i > 0 && i < s.size() && s[i] == ' ' ? value : kNoPreference;
  };
  std::vector<std::pair<std::uint32_t, std::string>> keyed;
  keyed.reserve(results.size());
  for (std::string& s : results) keyed.emplace_back(preference(s), std::move(s));
  std::stable_sort(keyed.begin(), keyed.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (std::size_t i = 0; i < keyed.size(); ++i) results[i] = std::move(keyed[i].second);
}

std::string FirstNameServer(const std::string& strPath) {
  std::ifstream file(strPath);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    std::string keyword, address;
    if (!(words >> keyword >> address) || keyword != "nameserver") continue;
    if (platform::IsDottedIPv4(address)) return address;  // IPv6 servers are skipped
  }
  return std::string();
}
