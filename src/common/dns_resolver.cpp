// CDnsResolver: one lookup on the calling thread (see dns_resolver.h).
//
// A lookup: resolve the server text to an address, build the query with a
// random id, open the query socket (UDP: connected to the server, send at
// once; TCP: connect, then send with the length field), then pump the
// thread's message queue until the reply is handled, the lookup's deadline
// has passed or WM_QUIT arrives. Whatever arrives that is not the reply to
// the query is dropped and the wait goes on. A referral (a non-authoritative
// reply without answers naming another server with its address) sends the
// same question with a new id by UDP to that server, at most kMaxReferrals
// times per lookup, all before the one deadline.
#include "common/dns_resolver.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "common/text.h"
#include "platform/messages.h"
#include "platform/random.h"
#include "platform/sync.h"

namespace {

constexpr const char* kNoResponse = "No response from DNS server";
constexpr const char* kInvalidResponse = "Invalid response from DNS server";

// Connect failures that mean the connect could not even be started, as
// opposed to an attempt that the network turned down.
bool IsConnectRequestError(int error) {
  return error == WSAEINVAL || error == WSAENOTSOCK || error == WSAEADDRINUSE;
}

std::string ConnectFailureText(int error) {
  const char* reason = "Unable to connect";
  if (error == WSAECONNREFUSED)
    reason = "Connection refused";
  else if (error == WSAETIMEDOUT || error == WSAENETUNREACH || error == WSAEHOSTUNREACH)
    reason = "Unable to contact host";
  return text::Format("%s (%u)", reason, static_cast<unsigned>(error));
}

std::string UdpSendFailureText() {
  return text::Format("Unable to send UDP request (%u)",
                      static_cast<unsigned>(platform::LastSocketError()));
}

std::uint16_t RandomQueryId() {
  std::uint16_t id = 0;
  platform::RandomBytes(&id, sizeof id);
  return id;
}

}  // namespace

CDnsResolver::CDnsResolver(int timeout_seconds) { SetTimeout(timeout_seconds); }

CDnsResolver::~CDnsResolver() { CloseQuerySocket(); }

void CDnsResolver::SetTimeout(int timeout_seconds) {
  const int seconds = timeout_seconds > 0 ? timeout_seconds : kDefaultTimeoutSeconds;
  m_nTimeoutMs = static_cast<DWORD>(seconds) * 1000u;
}

bool CDnsResolver::Lookup(const std::string& server, const std::string& name,
                          std::vector<std::string>& results) {
  results.clear();
  const bool started = Ask(server, name, dns::kTypeMX);
  for (const dns::DnsRecord& record : m_vecAnswers) results.push_back(record.text);
  return started;
}

bool CDnsResolver::ResolveHost(const std::string& server, const std::string& host,
                               std::vector<std::string>& addresses) {
  addresses.clear();
  m_strErrorText.clear();
  m_nResponseCode = kNoReply;
  if (platform::IsDottedIPv4(host)) {
    addresses.push_back(host);
    return true;
  }
  if (server.empty() && FirstNameServer(m_strResolvConfPath).empty()) {
    // No DNS server is named anywhere: only the system knows how to resolve.
    const std::string address = platform::ResolveHostIPv4(host);
    if (!address.empty()) addresses.push_back(address);
    return !addresses.empty();
  }
  Ask(server, host, dns::kTypeA);
  // The answer may also hold the CNAME records that lead to the addresses.
  for (const dns::DnsRecord& record : m_vecAnswers)
    if (record.type == dns::kTypeA) addresses.push_back(record.text);
  return !addresses.empty();
}

bool CDnsResolver::Ask(const std::string& server, const std::string& name, std::uint16_t type) {
  CloseQuerySocket();
  m_strErrorText.clear();
  m_nResponseCode = kNoReply;
  m_vecAnswers.clear();
  m_bDone = false;
  m_nReferrals = 0;

  const std::string host = server.empty() ? FirstNameServer(m_strResolvConfPath) : server;
  const std::string address = host.empty() ? std::string() : platform::ResolveHostIPv4(host);
  if (address.empty()) {
    m_strErrorText = text::Format("Unable to resolve '%s'", host.c_str());
    return false;
  }

  m_strQueryName = name;
  m_wQueryType = type;
  if (!PrepareQuery()) {
    // Checked before any socket exists: nothing leaves the machine. Such a
    // name exists nowhere, as if the server had said so.
    m_nResponseCode = kRcodeNameError;
    Finish("Query is not a valid domain");
    return true;
  }
  m_nDeadline = platform::TickCountMs() + m_nTimeoutMs;
  if (!OpenQuerySocket(address, m_nTransport)) {
    CloseQuerySocket();
    return false;
  }
  WaitUntilDone();
  CloseQuerySocket();
  return true;
}

bool CDnsResolver::PrepareQuery() {
  m_wQueryId = RandomQueryId();
  const dns::DnsHeader header{m_wQueryId,     m_wQueryFlags,     m_wQuestionCount,
                              m_wAnswerCount, m_wAuthorityCount, m_wAdditionalCount};
  return dns::BuildDnsQuery(header, m_strQueryName, m_wQueryType, m_wQueryClass, false, m_vecQuery);
}

DWORD CDnsResolver::RemainingMs() const {
  const std::uint64_t now = platform::TickCountMs();
  return now >= m_nDeadline ? 0 : static_cast<DWORD>(m_nDeadline - now);
}

bool CDnsResolver::OpenQuerySocket(const std::string& address, int transport) {
  CloseQuerySocket();
  m_strServerAddress = address;
  m_bTcpSocket = transport == kTransportTcp;
  if (m_bTcpSocket) {
    m_socket = platform::Socket::Connect(address, m_nServerPort, RemainingMs());
    if (!m_socket.IsValid()) {
      const int error = platform::LastSocketError();
      if (IsConnectRequestError(error)) {
        m_strErrorText = text::Format("Connect request failed (%u)", static_cast<unsigned>(error));
        return false;
      }
      Finish(ConnectFailureText(error));
      return true;
    }
  } else {
    m_socket = platform::Socket::Udp();
    if (!m_socket.IsValid()) {
      m_strErrorText = "Unable to bind local address";
      return false;
    }
    // Connected, so that only datagrams from the server reach the socket. A
    // connect that fails (no route) is a send that fails.
    if (!m_socket.ConnectUdp(address, m_nServerPort)) {
      Finish(UdpSendFailureText());
      return true;
    }
  }
  m_pQueue = &platform::MessageQueue::ForCurrentThread();
  m_nWatchId = m_pQueue->WatchFd(m_socket.fd(), platform::WATCH_READABLE,
                                 [this](platform::WatchEvents) { m_bReadable = true; });
  m_nTries = 0;
  SendQuery();
  return true;
}

void CDnsResolver::SendQuery() {
  ++m_nTries;
  if (!m_bTcpSocket) {
    const std::uint64_t now = platform::TickCountMs();
    m_nResendAt = now + (m_nDeadline > now ? (m_nDeadline - now) / 2 : 0);
    if (!m_socket.SendAll(m_vecQuery.data(), m_vecQuery.size())) Finish(UdpSendFailureText());
    return;
  }
  std::vector<std::uint8_t> message;
  message.reserve(m_vecQuery.size() + 2);
  message.push_back(static_cast<std::uint8_t>(m_vecQuery.size() >> 8));
  message.push_back(static_cast<std::uint8_t>(m_vecQuery.size() & 0xFF));
  message.insert(message.end(), m_vecQuery.begin(), m_vecQuery.end());
  m_socket.SetSendTimeout(RemainingMs());
  if (!m_socket.SendAll(message.data(), message.size()))
    Finish(text::Format("Unable to send query (%u)\n",
                        static_cast<unsigned>(platform::LastSocketError())));
}

void CDnsResolver::CloseQuerySocket() {
  if (m_nWatchId != 0 && m_pQueue != nullptr) m_pQueue->UnwatchFd(m_nWatchId);
  m_nWatchId = 0;
  m_socket.Close();
  m_bReadable = false;
  m_TcpReply = dns::DnsTcpFramer();
}

void CDnsResolver::Finish(const std::string& error) {
  m_strErrorText = error;
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
    const std::uint64_t now = platform::TickCountMs();
    if (now >= m_nDeadline) {
      Finish(kNoResponse);
      continue;
    }
    const bool resend_due = !m_bTcpSocket && m_nTries < kMaxTries;
    if (resend_due && now >= m_nResendAt) {
      SendQuery();  // the datagram (or its reply) may have been lost
      continue;
    }
    const std::uint64_t wake = resend_due ? std::min(m_nResendAt, m_nDeadline) : m_nDeadline;
    // False: WM_QUIT was taken (it stays remembered for the thread's own
    // loop); the lookup ends without results.
    if (!queue.PumpOnce(static_cast<DWORD>(wake - now))) break;
  }
}

void CDnsResolver::OnReadable() {
  if (!m_socket.IsValid()) return;
  if (!m_bTcpSocket) {
    std::uint8_t datagram[kMaxUdpReply];
    const long n = m_socket.Receive(datagram, sizeof datagram);
    // A failed receive (nothing there, or an ICMP error, which anyone can
    // forge) ends nothing: the reply may still come.
    if (n >= 0) OnMessage({datagram, static_cast<std::size_t>(n)});
    return;
  }

  // TCP: a reply may come in pieces, and a message that is not the reply may
  // come before it on the same connection.
  std::uint8_t chunk[4096];
  const long n = m_socket.Receive(chunk, sizeof chunk);
  if (n < 0 && platform::LastSocketError() == WSAEWOULDBLOCK) return;
  if (n <= 0) {
    Finish(kNoResponse);  // closed or failed before the reply came
    return;
  }
  m_TcpReply.Append({chunk, static_cast<std::size_t>(n)});
  std::vector<std::uint8_t> message;
  while (!m_bDone && m_socket.IsValid() && m_TcpReply.Next(message)) OnMessage(message);
}

void CDnsResolver::OnMessage(std::span<const std::uint8_t> message) {
  const dns::DnsQuestion question{m_strQueryName, m_wQueryType, m_wQueryClass};
  if (!dns::IsReplyTo(message, m_wQueryId, question)) return;  // not ours: wait on
  CloseQuerySocket();
  dns::DnsResponse response;
  if (!dns::ParseDnsResponse(message, response)) {
    Finish(kInvalidResponse);
    return;
  }
  if (m_bFollowReferrals && m_nReferrals < kMaxReferrals) {
    const std::string referral = dns::FindReferralServer(response);
    if (!referral.empty()) {
      FollowReferral(referral);
      return;
    }
  }
  m_nResponseCode = response.header.flags & dns::kRcodeMask;
  m_vecAnswers = std::move(response.answers);
  Finish(std::string());
}

void CDnsResolver::FollowReferral(const std::string& address) {
  // A referral comes without answers, so there is nothing to fall back on
  // when it fails: the lookup then ends with the reason.
  ++m_nReferrals;
  PrepareQuery();  // the name passed once, it passes again
  if (!OpenQuerySocket(address, kTransportUdp)) Finish(m_strErrorText);
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

std::string FirstNameServer(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream words(line);
    std::string keyword, address;
    if (!(words >> keyword >> address) || keyword != "nameserver") continue;
    if (platform::IsDottedIPv4(address)) return address;  // IPv6 servers are skipped
  }
  return std::string();
}
