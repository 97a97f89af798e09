// CDnsResolver: asks one DNS server for the records of one name and gives the
// text of every record in the answer section, in answer order. Used by the
// relay thread (MX records of a recipient's domain) and by the relay page's
// "Test DNS..." button.
//
// A lookup is blocking for its caller but keeps the calling thread's message
// queue running: while it waits for the reply it dispatches the thread's
// other messages, timers and socket notifications. Each lookup has its own
// state (referral count included), so lookups on different threads do not
// disturb each other.
//
// Lookup returns false only when the lookup cannot start (the error text says
// why). It returns true when the lookup has run to its end, also after a
// failure on the way (no reply in time, a malformed reply, a failed send):
// the results are empty then and the error text says why. Callers treat a
// true result with no results as a failed lookup as well.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sockets.h"
#include "platform/win_types.h"

namespace platform {
class MessageQueue;
}

class CDnsResolver {
 public:
  static constexpr int kTransportUdp = 17;
  static constexpr int kTransportTcp = 6;
  static constexpr int kDnsPort = 53;
  // The relay time-out's default; the relay passes its own setting.
  static constexpr int kDefaultTimeoutSeconds = 30;
  // Referrals followed per lookup at most.
  static constexpr int kMaxReferrals = 3;
  // A UDP query is sent at most this often (one resend) before the lookup
  // gives up; the time-out is shared out evenly among the tries.
  static constexpr int kMaxTries = 2;
  // One UDP reply is read into a buffer of this size (plain DNS over UDP
  // stays within 512 bytes; larger datagrams are cut and fail to parse).
  static constexpr std::size_t kMaxUdpReply = 4096;
  // The largest message a two-byte TCP length field can announce.
  static constexpr std::size_t kMaxTcpReply = 65535;
  static constexpr const char* kDefaultResolvConf = "/etc/resolv.conf";

  // nTimeoutSeconds: how long a lookup waits for a reply before it ends with
  // "No response from DNS server" (0 or less: the default).
  explicit CDnsResolver(int nTimeoutSeconds = kDefaultTimeoutSeconds);
  ~CDnsResolver();
  CDnsResolver(const CDnsResolver&) = delete;
  CDnsResolver& operator=(const CDnsResolver&) = delete;

  // strServer: dotted IPv4 address or host name of the DNS server; empty
  // means the first IPv4 "nameserver" of the resolver configuration file.
  // strName: the name whose MX records are asked for. results: emptied, then
  // given one text per answer record.
  bool Lookup(const std::string& strServer, const std::string& strName,
              std::vector<std::string>& results);
  std::string GetErrorText() const { return m_strErrorText; }

  void SetTimeout(int nTimeoutSeconds);
  void SetTransport(int nTransport) { m_nTransport = nTransport; }
  // The port queries (referrals included) go to; 53 unless a test changes it.
  void SetServerPort(int nPort) { m_nServerPort = nPort; }
  void SetFollowReferrals(bool bFollow) { m_bFollowReferrals = bFollow; }
  void SetResolvConfPath(const std::string& strPath) { m_strResolvConfPath = strPath; }
  // Referrals followed by the last lookup.
  int GetReferralCount() const { return m_nReferrals; }

 private:
  bool OpenQuerySocket(const std::string& strAddress, int nTransport);
  void SendQuery();
  void CloseQuerySocket();
  void Finish(const std::string& strError);
  void WaitUntilDone();
  void OnReadable();
  void OnTimeout();
  void HandleResponse(const std::uint8_t* pData, std::size_t nSize);

  // The query: header words, name, type and class.
  std::string m_strServerAddress;  // dotted address of the server asked now
  std::uint16_t m_wQueryId = 1;
  std::uint16_t m_wQueryFlags = 0x0100;  // standard query, recursion desired
  std::uint16_t m_wQuestionCount = 1;
  std::uint16_t m_wAnswerCount = 0;
  std::uint16_t m_wAuthorityCount = 0;
  std::uint16_t m_wAdditionalCount = 0;
  std::string m_strQueryName;
  std::uint16_t m_wQueryType = 15;  // MX
  std::uint16_t m_wQueryClass = 1;  // IN
  int m_nTransport = kTransportUdp;
  int m_nServerPort = kDnsPort;
  bool m_bFollowReferrals = true;
  std::string m_strErrorText;
  bool m_bDone = false;
  std::vector<std::string>* m_pResults = nullptr;

  // Per lookup.
  int m_nReferrals = 0;
  DWORD m_nTimeoutMs;
  std::string m_strResolvConfPath = kDefaultResolvConf;
  platform::Socket m_socket;
  bool m_bTcpSocket = false;                   // the open socket's transport (referrals use UDP)
  platform::MessageQueue* m_pQueue = nullptr;  // the calling thread's queue
  UINT m_nWatchId = 0;
  bool m_bReadable = false;
  int m_nTries = 0;
  std::uint64_t m_nDeadline = 0;
  std::vector<std::uint8_t> m_vecQuery;     // the message, without a TCP length field
  std::vector<std::uint8_t> m_vecTcpReply;  // TCP reply received so far, length field included
};

// Sorts MX result texts ("%02u %s") by preference, lowest first; texts of
// equal preference keep their order, and texts without a preference (other
// record types) follow all MX texts in their order.
void SortMxByPreference(std::vector<std::string>& results);

// The first IPv4 "nameserver" of a resolver configuration file in the
// resolv.conf format; "" when there is none or the file cannot be read.
std::string FirstNameServer(const std::string& strPath);
