// CDnsResolver against small fake DNS servers on 127.0.0.1 (threads of the
// test): real UDP and TCP exchanges, referrals, the time-out with its one
// resend, and the resolv.conf fallback for an empty server text.
#include "common/dns_resolver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "common/test_home.h"
#include "dns_test_wire.h"
#include "platform/messages.h"
#include "platform/sockets.h"
#include "platform/sync.h"

namespace {

using dnstest::Bytes;
using dnstest::Name;
using dnstest::Wire;

constexpr const char* kLoopback = "127.0.0.1";
constexpr DWORD kPollStepMs = 20;

// The documented 29-byte MX query for "example.org".
const Bytes kExampleQuery = {0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x07, 'e',  'x',  'a',  'm',  'p',  'l',  'e',
                             0x03, 'o',  'r',  'g',  0x00, 0x00, 0x0F, 0x00, 0x01};

// Decides the reply to the index-th query (nullopt: stay silent).
using Responder = std::function<std::optional<Bytes>(std::size_t index, const Bytes& query)>;

// Queries seen by a fake server, readable from the test thread.
class QueryLog {
 public:
  std::size_t Add(const Bytes& query) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queries.push_back(query);
    return m_queries.size() - 1;
  }
  std::vector<Bytes> All() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queries;
  }

 private:
  std::mutex m_mutex;
  std::vector<Bytes> m_queries;
};

class FakeUdpDns {
 public:
  explicit FakeUdpDns(Responder responder)
      : m_socket(platform::Socket::Udp()), m_responder(std::move(responder)) {
    EXPECT_TRUE(m_socket.IsValid());
    m_thread = std::thread([this] { Run(); });
  }
  ~FakeUdpDns() {
    m_stop = true;
    m_thread.join();
  }
  int Port() const { return m_socket.LocalPort(); }
  std::vector<Bytes> Queries() { return m_log.All(); }

 private:
  void Run() {
    while (!m_stop) {
      if (m_socket.PollReadable(kPollStepMs) != 1) continue;
      std::uint8_t buffer[4096];
      std::string ip;
      int port = 0;
      const long n = m_socket.ReceiveFrom(buffer, sizeof buffer, ip, port);
      if (n < 0) continue;
      const Bytes query(buffer, buffer + n);
      const std::optional<Bytes> reply = m_responder(m_log.Add(query), query);
      if (reply) m_socket.SendTo(reply->data(), reply->size(), ip, port);
    }
  }

  platform::Socket m_socket;
  Responder m_responder;
  QueryLog m_log;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

// One TCP connection: reads a length-prefixed query, answers it one byte at
// a time so that the resolver must put the reply together.
class FakeTcpDns {
 public:
  explicit FakeTcpDns(Bytes reply)
      : m_listener(platform::Socket::Listen(0, 4)), m_reply(std::move(reply)) {
    EXPECT_TRUE(m_listener.IsValid());
    m_thread = std::thread([this] { Run(); });
  }
  ~FakeTcpDns() {
    m_stop = true;
    m_thread.join();
  }
  int Port() const { return m_listener.LocalPort(); }
  std::vector<Bytes> Queries() { return m_log.All(); }

 private:
  void Run() {
    platform::Socket peer;
    while (!m_stop && !peer.IsValid())
      if (m_listener.PollReadable(kPollStepMs) == 1) peer = m_listener.Accept();
    Bytes query;
    while (!m_stop && (query.size() < 2 || query.size() < 2u + ((query[0] << 8) | query[1]))) {
      if (peer.PollReadable(kPollStepMs) != 1) continue;
      std::uint8_t buffer[512];
      const long n = peer.Receive(buffer, sizeof buffer);
      if (n <= 0) return;
      query.insert(query.end(), buffer, buffer + n);
    }
    if (m_stop) return;
    m_log.Add(query);
    Bytes framed = {static_cast<std::uint8_t>(m_reply.size() >> 8),
                    static_cast<std::uint8_t>(m_reply.size() & 0xFF)};
    framed.insert(framed.end(), m_reply.begin(), m_reply.end());
    for (std::uint8_t byte : framed) {
      if (!peer.SendAll(&byte, 1)) return;
      platform::SleepMs(1);
    }
    while (!m_stop && peer.PollReadable(kPollStepMs) != 1) {
    }
  }

  platform::Socket m_listener;
  Bytes m_reply;
  QueryLog m_log;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

Bytes MxReply(std::uint16_t flags = dnstest::kReplyAuthoritative) {
  return Wire()
      .Header(flags, 1, 2, 0, 0)
      .Question(Name("example.org"))
      .Record(Name("example.org"), 15, dnstest::MxData(10, Name("mx1.example.org")))
      .Record(Name("example.org"), 15, dnstest::MxData(5, Name("mx2.example.org")))
      .b;
}

// A non-authoritative reply naming ns.example.org, found at 127.0.0.1, with
// one answer of its own ("20 from.referral").
Bytes ReferralReply() {
  return Wire()
      .Header(dnstest::kReply, 1, 1, 1, 1)
      .Question(Name("example.org"))
      .Record(Name("example.org"), 15, dnstest::MxData(20, Name("from.referral")))
      .Record(Name("example.org"), 2, Name("ns.example.org"))
      .Record(Name("ns.example.org"), 1, dnstest::A(127, 0, 0, 1))
      .b;
}

Bytes Truncated(Bytes bytes, std::size_t cut) {
  bytes.resize(bytes.size() - cut);
  return bytes;
}

const std::vector<std::string> kMxTexts = {"10 mx1.example.org", "05 mx2.example.org"};

TEST(DnsResolver, UdpExchangeGivesTheAnswersInAnswerOrder) {
  FakeUdpDns server([](std::size_t, const Bytes&) { return MxReply(); });
  CDnsResolver resolver(5);
  resolver.SetServerPort(server.Port());
  std::vector<std::string> results = {"stale"};
  ASSERT_TRUE(resolver.Lookup(kLoopback, "example.org", results)) << resolver.GetErrorText();
  EXPECT_EQ(results, kMxTexts);
  EXPECT_EQ(resolver.GetErrorText(), "");
  EXPECT_EQ(server.Queries(), std::vector<Bytes>{kExampleQuery});
}

TEST(DnsResolver, RepliesWithoutUsableAnswers) {
  struct Case {
    const char* label;
    Bytes reply;
    const char* error;
  } cases[] = {
      {"authoritative, no answers",
       Wire().Header(dnstest::kReplyAuthoritative, 1, 0, 0, 0).Question(Name("example.org")).b, ""},
      {"answer count larger than the answers",
       Wire().Header(dnstest::kReplyAuthoritative, 1, 3, 0, 0).Question(Name("example.org")).b,
       "Invalid response from DNS server"},
      {"truncated record", Truncated(MxReply(), 3), "Invalid response from DNS server"},
  };
  for (const Case& c : cases) {
    FakeUdpDns server([&c](std::size_t, const Bytes&) { return c.reply; });
    CDnsResolver resolver(5);
    resolver.SetServerPort(server.Port());
    std::vector<std::string> results;
    EXPECT_TRUE(resolver.Lookup(kLoopback, "example.org", results)) << c.label;
    EXPECT_TRUE(results.empty()) << c.label;
    EXPECT_EQ(resolver.GetErrorText(), c.error) << c.label;
  }
}

// The referral count belongs to the lookup: later lookups in the same
// process still follow their referral.
TEST(DnsResolver, ReferralAsksTheNamedServerAgainInEveryLookup) {
  for (int lookup = 0; lookup < 4; ++lookup) {
    FakeUdpDns server(
        [](std::size_t index, const Bytes&) { return index == 0 ? ReferralReply() : MxReply(); });
    CDnsResolver resolver(5);
    resolver.SetServerPort(server.Port());
    std::vector<std::string> results;
    ASSERT_TRUE(resolver.Lookup(kLoopback, "example.org", results));
    EXPECT_EQ(results, kMxTexts) << "lookup " << lookup;
    EXPECT_EQ(resolver.GetReferralCount(), 1) << "lookup " << lookup;
    EXPECT_EQ(server.Queries(), (std::vector<Bytes>{kExampleQuery, kExampleQuery}))
        << "lookup " << lookup;
  }
}

TEST(DnsResolver, ReferralsStopAtTheLimitOrWhenTurnedOff) {
  struct Case {
    const char* label;
    bool follow;
    std::size_t queries;
  } cases[] = {{"three referrals, then used as it comes", true, 4}, {"referrals off", false, 1}};
  for (const Case& c : cases) {
    FakeUdpDns server([](std::size_t, const Bytes&) { return ReferralReply(); });
    CDnsResolver resolver(5);
    resolver.SetServerPort(server.Port());
    resolver.SetFollowReferrals(c.follow);
    std::vector<std::string> results;
    ASSERT_TRUE(resolver.Lookup(kLoopback, "example.org", results)) << c.label;
    EXPECT_EQ(results, std::vector<std::string>{"20 from.referral"}) << c.label;
    EXPECT_EQ(server.Queries().size(), c.queries) << c.label;
  }
}

TEST(DnsResolver, NoResponseEndsAfterTheTimeOutWithOneResend) {
  FakeUdpDns server([](std::size_t, const Bytes&) { return std::nullopt; });
  CDnsResolver resolver(1);
  resolver.SetServerPort(server.Port());
  // Messages of the thread keep flowing while the lookup waits.
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  int ticks = 0;
  const UINT timer = queue.SetTimer(50, [&ticks](UINT) { ++ticks; });
  const std::uint64_t start = platform::TickCountMs();
  std::vector<std::string> results;
  EXPECT_TRUE(resolver.Lookup(kLoopback, "example.org", results));
  const std::uint64_t elapsed = platform::TickCountMs() - start;
  queue.KillTimer(timer);
  EXPECT_EQ(resolver.GetErrorText(), "No response from DNS server");
  EXPECT_TRUE(results.empty());
  EXPECT_GE(elapsed, 950u);
  EXPECT_LT(elapsed, 3000u);
  EXPECT_GE(ticks, 5);
  EXPECT_EQ(server.Queries(), (std::vector<Bytes>{kExampleQuery, kExampleQuery}));
}

TEST(DnsResolver, InvalidDomainSendsNothing) {
  FakeUdpDns server([](std::size_t, const Bytes&) { return MxReply(); });
  CDnsResolver resolver(5);
  resolver.SetServerPort(server.Port());
  std::vector<std::string> results;
  EXPECT_TRUE(resolver.Lookup(kLoopback, "x." + std::string(64, 'a') + ".org", results));
  EXPECT_EQ(resolver.GetErrorText(), "Query is not a valid domain");
  EXPECT_TRUE(results.empty());
  platform::SleepMs(100);
  EXPECT_TRUE(server.Queries().empty());
}

TEST(DnsResolver, TcpQueryHasTheLengthFieldAndTheReplyMayComeInPieces) {
  FakeTcpDns server(MxReply());
  CDnsResolver resolver(5);
  resolver.SetServerPort(server.Port());
  resolver.SetTransport(CDnsResolver::kTransportTcp);
  std::vector<std::string> results;
  ASSERT_TRUE(resolver.Lookup(kLoopback, "example.org", results)) << resolver.GetErrorText();
  EXPECT_EQ(results, kMxTexts);
  Bytes framed = {0x00, 0x1D};
  framed.insert(framed.end(), kExampleQuery.begin(), kExampleQuery.end());
  EXPECT_EQ(server.Queries(), std::vector<Bytes>{framed});
}

TEST(DnsResolver, TcpConnectRefused) {
  int port = 0;
  {
    platform::Socket closed = platform::Socket::Listen(0, 1);
    port = closed.LocalPort();
  }
  CDnsResolver resolver(5);
  resolver.SetServerPort(port);
  resolver.SetTransport(CDnsResolver::kTransportTcp);
  std::vector<std::string> results;
  EXPECT_TRUE(resolver.Lookup(kLoopback, "example.org", results));
  EXPECT_EQ(resolver.GetErrorText(), "Connection refused (10061)");
  EXPECT_TRUE(results.empty());
}

std::string WriteFile(const std::string& name, const std::string& contents) {
  const std::string path = (TestHome() / name).string();
  std::ofstream(path) << contents;
  return path;
}

TEST(DnsResolver, FirstNameServerOfResolvConf) {
  struct Case {
    const char* label;
    const char* contents;
    const char* server;
  } cases[] = {
      {"first of two", "nameserver 10.0.0.1\nnameserver 10.0.0.2\n", "10.0.0.1"},
      {"comments, options and IPv6 skipped",
       "# nameserver 10.9.9.9\n; x\noptions timeout:1\nnameserver ::1\n  nameserver\t10.0.0.3 \n",
       "10.0.0.3"},
      {"no nameserver", "search example.org\n", ""},
      {"keyword must be whole", "nameservers 10.0.0.4\n", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(FirstNameServer(WriteFile("resolv.conf", c.contents)), c.server) << c.label;
  EXPECT_EQ(FirstNameServer((TestHome() / "missing.conf").string()), "");
}

TEST(DnsResolver, EmptyServerTextUsesResolvConf) {
  FakeUdpDns server([](std::size_t, const Bytes&) { return MxReply(); });
  CDnsResolver resolver(5);
  resolver.SetServerPort(server.Port());
  resolver.SetResolvConfPath(WriteFile("resolv-loopback.conf", "nameserver 127.0.0.1\n"));
  std::vector<std::string> results;
  ASSERT_TRUE(resolver.Lookup("", "example.org", results)) << resolver.GetErrorText();
  EXPECT_EQ(results, kMxTexts);

  CDnsResolver without(5);
  without.SetResolvConfPath((TestHome() / "missing.conf").string());
  EXPECT_FALSE(without.Lookup("", "example.org", results));
  EXPECT_EQ(without.GetErrorText(), "Unable to resolve ''");
  EXPECT_TRUE(results.empty());
}

}  // namespace
