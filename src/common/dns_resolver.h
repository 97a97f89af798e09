// CDnsResolver: asks one DNS server for the records of one name and gives the
// text of every record in the answer section, in answer order. Used by the
// relay thread (MX records of a recipient's domain, and the addresses of the
// mail servers it connects to) and by the relay page's "Test DNS..." button.
//
// A lookup is blocking for its caller but keeps the calling thread's message
// queue running: while it waits for the reply it dispatches the thread's
// other messages, timers and socket notifications. Each lookup has its own
// state (referral count included), so lookups on different threads do not
// disturb each other.
//
// Only the reply to our query is used: each query goes out from a UDP socket
// connected to the server (the kernel drops datagrams from anywhere else)
// with a query id drawn from the kernel's random source, and a reply counts
// only when its id, response bit and question match (dns::IsReplyTo). Any
// other datagram or TCP message is ignored and the wait goes on. One lookup,
// its resend and its referrals included, ends at one deadline.
//
// Lookup returns false only when the lookup cannot start (the error text says
// why). It returns true when the lookup has run to its end, also after a
// failure on the way (no reply in time, a malformed reply, a failed send):
// the results are empty then and the error text says why. Callers treat a
// true result with no results as a failed lookup as well.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/dns_message.h"
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
  // A UDP query goes to a server at most this often (one resend, halfway
  // between the first send and the lookup's deadline), in case the
  // datagram or its reply was lost.
  static constexpr int kMaxTries = 2;
  // One UDP reply is read into a buffer of this size (plain DNS over UDP
  // stays within 512 bytes; larger datagrams are cut and fail to parse).
  static constexpr std::size_t kMaxUdpReply = 4096;
  static constexpr const char* kDefaultResolvConf = "/etc/resolv.conf";

  // timeout_seconds: how long a whole lookup may take before it ends with
  // "No response from DNS server" (0 or less: the default).
  explicit CDnsResolver(int timeout_seconds = kDefaultTimeoutSeconds);
  ~CDnsResolver();
  CDnsResolver(const CDnsResolver&) = delete;
  CDnsResolver& operator=(const CDnsResolver&) = delete;

  // server: dotted IPv4 address or host name of the DNS server; empty means
  // the first IPv4 "nameserver" of the resolver configuration file. name:
  // the name whose MX records are asked for. results: emptied, then given
  // one text per answer record.
  bool Lookup(const std::string& server, const std::string& name,
              std::vector<std::string>& results);

  // The IPv4 addresses of a host, for a connection to it: a dotted address
  // is itself; a name is asked for its A records through `server` (as in
  // Lookup), and only when there is no server at all (server empty and no
  // "nameserver" in the configuration file) through the system's resolver.
  // addresses: emptied, then given the dotted addresses in answer order.
  // False when there is none; the error text then says why when it knows
  // (no reply, an invalid reply) and is empty when the server knew of no
  // address.
  bool ResolveHost(const std::string& server, const std::string& host,
                   std::vector<std::string>& addresses);

  std::string GetErrorText() const { return m_strErrorText; }
  // The response code (RCODE) of the reply that ended the last lookup:
  // kRcodeNoError, kRcodeNameError (the name does not exist; also given for
  // a name that cannot be asked for), another code (a server failure, a
  // refusal), or kNoReply when no reply came or it could not be read.
  static constexpr int kNoReply = -1;
  static constexpr int kRcodeNoError = 0;
  static constexpr int kRcodeNameError = 3;
  int GetResponseCode() const { return m_nResponseCode; }

  void SetTimeout(int timeout_seconds);
  void SetTransport(int transport) { m_nTransport = transport; }
  // The port queries (referrals included) go to; 53 unless a test changes it.
  void SetServerPort(int port) { m_nServerPort = port; }
  void SetFollowReferrals(bool follow) { m_bFollowReferrals = follow; }
  void SetResolvConfPath(const std::string& path) { m_strResolvConfPath = path; }
  // Referrals followed by the last lookup.
  int GetReferralCount() const { return m_nReferrals; }

 private:
  // One lookup of `name` with query type `type`; fills m_vecAnswers.
  bool Ask(const std::string& server, const std::string& name, std::uint16_t type);
  // Draws a new query id and builds m_vecQuery with it; false when the
  // name is not a valid domain.
  bool PrepareQuery();
  bool OpenQuerySocket(const std::string& address, int transport);
  void SendQuery();
  void CloseQuerySocket();
  void Finish(const std::string& error);
  void WaitUntilDone();
  void OnReadable();
  // A datagram or TCP message from the server: used when it is the reply.
  void OnMessage(std::span<const std::uint8_t> message);
  void FollowReferral(const std::string& address);
  DWORD RemainingMs() const;

  // The query: header words, name, type and class.
  std::string m_strServerAddress;  // dotted address of the server asked now
  std::uint16_t m_wQueryId = 0;    // random, new for each server asked
  std::uint16_t m_wQueryFlags = dns::kFlagRecursionDesired;  // standard query
  std::uint16_t m_wQuestionCount = 1;
  std::uint16_t m_wAnswerCount = 0;
  std::uint16_t m_wAuthorityCount = 0;
  std::uint16_t m_wAdditionalCount = 0;
  std::string m_strQueryName;
  std::uint16_t m_wQueryType = dns::kTypeMX;
  std::uint16_t m_wQueryClass = dns::kClassIN;
  int m_nTransport = kTransportUdp;
  int m_nServerPort = kDnsPort;
  bool m_bFollowReferrals = true;
  std::string m_strErrorText;
  int m_nResponseCode = kNoReply;
  bool m_bDone = false;
  std::vector<dns::DnsRecord> m_vecAnswers;  // the answer section of the reply used

  // Per lookup.
  int m_nReferrals = 0;
  DWORD m_nTimeoutMs;
  std::string m_strResolvConfPath = kDefaultResolvConf;
  platform::Socket m_socket;
  bool m_bTcpSocket = false;                   // the open socket's transport (referrals use UDP)
  platform::MessageQueue* m_pQueue = nullptr;  // the calling thread's queue
  UINT m_nWatchId = 0;
  bool m_bReadable = false;
  int m_nTries = 0;                // sends to the server asked now
  std::uint64_t m_nResendAt = 0;   // when a UDP query without reply goes out again
  std::uint64_t m_nDeadline = 0;   // when the whole lookup ends
  std::vector<std::uint8_t> m_vecQuery;  // the message, without a TCP length field
  dns::DnsTcpFramer m_TcpReply;          // TCP bytes received so far
};

// Sorts MX result texts ("%02u %s") by preference, lowest first; texts of
// equal preference keep their order, and texts without a preference (other
// record types) follow all MX texts in their order.
void SortMxByPreference(std::vector<std::string>& results);

// The first IPv4 "nameserver" of a resolver configuration file in the
// resolv.conf format; "" when there is none or the file cannot be read.
std::string FirstNameServer(const std::string& path);
