// CDnsResolver against small fake DNS servers on 127.0.0.1 (threads of the
// test): real UDP and TCP exchanges, forged replies that must be ignored,
// referrals, the one deadline of a lookup with its one resend, address
// lookups, and the resolv.conf fallback for an empty server text.
#include "common/dns_resolver.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

#include "support/temp_home.h"
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

// The documented 29-byte MX query for "example.org"; the resolver sends it
// with a random id in place of the first two bytes.
const Bytes kExampleQuery = {0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
                             0x00, 0x00, 0x07, 'e',  'x',  'a',  'm',  'p',  'l',  'e',
                             0x03, 'o',  'r',  'g',  0x00, 0x00, 0x0F, 0x00, 0x01};

std::uint16_t IdOf(const Bytes& message) {
  return static_cast<std::uint16_t>((message[0] << 8) | message[1]);
}

Bytes WithoutId(Bytes message) {
  message.erase(message.begin(), message.begin() + 2);
  return message;
}

// `reply` with the id of `query`: what a real server sends back.
Bytes AnswerTo(const Bytes& query, Bytes reply) {
  reply[0] = query[0];
  reply[1] = query[1];
  return reply;
}

// A datagram for the resolver; from another port of the same address when
// `from_other_port` is set (the kernel must drop it).
struct Datagram {
  Bytes bytes;
  bool from_other_port = false;
};

// Decides what to send for the index-th query (nothing: stay silent).
using Responder = std::function<std::vector<Datagram>(std::size_t index, const Bytes& query)>;

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
      : m_socket(platform::Socket::Udp()),
        m_otherPort(platform::Socket::Udp()),
        m_responder(std::move(responder)) {
    EXPECT_TRUE(m_socket.IsValid() && m_otherPort.IsValid());
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
      for (const Datagram& d : m_responder(m_log.Add(query), query))
        (d.from_other_port ? m_otherPort : m_socket).SendTo(d.bytes.data(), d.bytes.size(), ip, port);
    }
  }

  platform::Socket m_socket;
  platform::Socket m_otherPort;
  Responder m_responder;
  QueryLog m_log;
  std::atomic<bool> m_stop{false};
  std::thread m_thread;
};

// One TCP connection: reads a length-prefixed query and answers it with the
// responder's messages, each with its length field, one byte at a time so
// that the resolver must put every message together.
class FakeTcpDns {
 public:
  explicit FakeTcpDns(std::function<std::vector<Bytes>(const Bytes& query)> responder)
      : m_listener(platform::Socket::Listen(0, 4)), m_responder(std::move(responder)) {
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
    Bytes framed;
    for (const Bytes& reply : m_responder(Bytes(query.begin() + 2, query.end()))) {
      framed.push_back(static_cast<std::uint8_t>(reply.size() >> 8));
      framed.push_back(static_cast<std::uint8_t>(reply.size() & 0xFF));
      framed.insert(framed.end(), reply.begin(), reply.end());
    }
    for (std::uint8_t byte : framed) {
      if (!peer.SendAll(&byte, 1)) return;
      platform::SleepMs(1);
    }
    while (!m_stop && peer.PollReadable(kPollStepMs) != 1) {
    }
  }

  platform::Socket m_listener;
  std::function<std::vector<Bytes>(const Bytes& query)> m_responder;
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

// A reply with one MX answer naming `exchange`.
Bytes OneMxReply(const char* exchange, const char* question = "example.org",
                 std::uint16_t type = 15, std::uint16_t cls = 1) {
  return Wire()
      .Header(dnstest::kReplyAuthoritative, 1, 1, 0, 0)
      .Add(Name(question))
      .U16(type)
      .U16(cls)
      .Record(Name("example.org"), 15, dnstest::MxData(10, Name(exchange)))
      .b;
}

// A non-authoritative reply naming ns.example.org, found at 127.0.0.1, as the
// server to ask; with `answer`, it also carries the answer ("20 from.referral").
Bytes ReferralReply(bool answer = false) {
  Wire w;
  w.Header(dnstest::kReply, 1, answer ? 1 : 0, 1, 1).Question(Name("example.org"));
  if (answer) w.Record(Name("example.org"), 15, dnstest::MxData(20, Name("from.referral")));
  return w.Record(Name("example.org"), 2, Name("ns.example.org"))
      .Record(Name("ns.example.org"), 1, dnstest::A(127, 0, 0, 1))
      .b;
}

// Answers every query with the reply, given the query's id.
Responder Always(Bytes reply) {
  return [reply](std::size_t, const Bytes& query) {
    return std::vector<Datagram>{{AnswerTo(query, reply)}};
  };
}

const std::vector<std::string> kMxTexts = {"10 mx1.example.org", "05 mx2.example.org"};

TEST(DnsResolver, UdpExchangeGivesTheAnswersInAnswerOrderWithANewIdEachTime) {
  FakeUdpDns server(Always(MxReply()));
  constexpr int kLookups = 4;
  for (int lookup = 0; lookup < kLookups; ++lookup) {
    CDnsResolver resolver(5);
    resolver.SetServerPort(server.Port());
    std::vector<std::string> results = {"stale"};
    ASSERT_TRUE(resolver.Lookup(kLoopback, "example.org", results)) << resolver.GetErrorText();
    EXPECT_EQ(results, kMxTexts);
    EXPECT_EQ(resolver.GetErrorText(), "");
  }
  const std::vector<Bytes> queries = server.Queries();
  ASSERT_EQ(queries.size(), std::size_t{kLookups});
  std::set<std::uint16_t> ids;
  for (const Bytes& query : queries) {
    EXPECT_EQ(WithoutId(query), WithoutId(kExampleQuery));
    ids.insert(IdOf(query));
  }
  // Random ids: four equal ones come once in 2^48 runs.
  EXPECT_GT(ids.size(), 1u);
}

// Datagrams that are not the reply come first; each names an exchange of its
// own, so a failure tells which one was taken.
TEST(DnsResolver, DatagramsThatAreNotTheReplyAreIgnored) {
  FakeUdpDns server([](std::size_t, const Bytes& query) {
    const Bytes wrong_id = {static_cast<std::uint8_t>(query[0] ^ 0x80), query[1]};
    Bytes no_response_bit = AnswerTo(query, OneMxReply("qr-clear.forged"));
    no_response_bit[2] &= 0x7F;
    Bytes other_id = AnswerTo(wrong_id, OneMxReply("other-id.forged"));
    return std::vector<Datagram>{
        {other_id},
        {no_response_bit},
        {AnswerTo(query, OneMxReply("other-name.forged", "example.com"))},
        {AnswerTo(query, OneMxReply("other-type.forged", "example.org", 1))},
        {AnswerTo(query, OneMxReply("other-class.forged", "example.org", 15, 3))},
        {AnswerTo(query, Wire().Header(dnstest::kReply, 0, 0, 0, 0).b)},
        {AnswerTo(query, OneMxReply("other-port.forged")), true},
        {Bytes{query[0], query[1]}},
        {AnswerTo(query, OneMxReply("mx.example.org", "EXAMPLE.ORG"))},
    };
  });
  CDnsResolver resolver(5);
  resolver.SetServerPort(server.Port());
  std::vector<std::string> results;
  ASSERT_TRUE(resolver.Lookup(kLoopback, "example.org", results));
  EXPECT_EQ(results, std::vector<std::string>{"10 mx.example.org"});
  EXPECT_EQ(resolver.GetErrorText(), "");
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
      {"truncated record", dnstest::Truncated(MxReply(), 3), "Invalid response from DNS server"},
  };
  for (const Case& c : cases) {
    FakeUdpDns server(Always(c.reply));
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
    FakeUdpDns server([](std::size_t index, const Bytes& query) {
      return std::vector<Datagram>{{AnswerTo(query, index == 0 ? ReferralReply() : MxReply())}};
    });
    CDnsResolver resolver(5);
    resolver.SetServerPort(server.Port());
    std::vector<std::string> results;
    ASSERT_TRUE(resolver.Lookup(kLoopback, "example.org", results));
    EXPECT_EQ(results, kMxTexts) << "lookup " << lookup;
    EXPECT_EQ(resolver.GetReferralCount(), 1) << "lookup " << lookup;
    const std::vector<Bytes> queries = server.Queries();
    ASSERT_EQ(queries.size(), 2u) << "lookup " << lookup;
    for (const Bytes& query : queries) EXPECT_EQ(WithoutId(query), WithoutId(kExampleQuery));
  }
}

TEST(DnsResolver, ReferralsStopAtTheLimitWhenTurnedOffAndWhenTheAnswerIsThere) {
  struct Case {
    const char* label;
    bool follow;
    bool answer;
    std::size_t queries;
    std::vector<std::string> results;
  } cases[] = {
      {"three referrals, then used as it comes", true, false, 4, {}},
      {"referrals off", false, false, 1, {}},
      {"a referral that carries the answer is an answer", true, true, 1, {"20 from.referral"}},
  };
  for (const Case& c : cases) {
    FakeUdpDns server(Always(ReferralReply(c.answer)));
    CDnsResolver resolver(5);
    resolver.SetServerPort(server.Port());
    resolver.SetFollowReferrals(c.follow);
    std::vector<std::string> results;
    ASSERT_TRUE(resolver.Lookup(kLoopback, "example.org", results)) << c.label;
    EXPECT_EQ(results, c.results) << c.label;
    EXPECT_EQ(resolver.GetErrorText(), "") << c.label;
    EXPECT_EQ(server.Queries().size(), c.queries) << c.label;
  }
}

TEST(DnsResolver, NoResponseEndsAfterTheTimeOutWithOneResend) {
  FakeUdpDns server([](std::size_t, const Bytes&) { return std::vector<Datagram>(); });
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
  const std::vector<Bytes> queries = server.Queries();
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0], queries[1]) << "the resend is the same query, id included";
}

// A referral to a server that stays silent: the lookup still ends at its one
// deadline, not one time-out after the referral.
TEST(DnsResolver, ReferralsShareTheLookupsDeadline) {
  FakeUdpDns server([](std::size_t index, const Bytes& query) {
    std::vector<Datagram> reply;
    if (index == 0) {
      platform::SleepMs(800);
      reply.push_back({AnswerTo(query, ReferralReply())});
    }
    return reply;
  });
  CDnsResolver resolver(1);
  resolver.SetServerPort(server.Port());
  const std::uint64_t start = platform::TickCountMs();
  std::vector<std::string> results;
  EXPECT_TRUE(resolver.Lookup(kLoopback, "example.org", results));
  const std::uint64_t elapsed = platform::TickCountMs() - start;
  EXPECT_EQ(resolver.GetErrorText(), "No response from DNS server");
  EXPECT_EQ(resolver.GetReferralCount(), 1);
  EXPECT_GE(elapsed, 950u);
  EXPECT_LT(elapsed, 1500u) << "a deadline that restarted with the referral ends at 1800 ms";
}

TEST(DnsResolver, InvalidDomainSendsNothing) {
  FakeUdpDns server(Always(MxReply()));
  CDnsResolver resolver(5);
  resolver.SetServerPort(server.Port());
  std::vector<std::string> results;
  EXPECT_TRUE(resolver.Lookup(kLoopback, "x." + std::string(64, 'a') + ".org", results));
  EXPECT_EQ(resolver.GetErrorText(), "Query is not a valid domain");
  EXPECT_TRUE(results.empty());
  platform::SleepMs(100);
  EXPECT_TRUE(server.Queries().empty());
}

// A message that is not the reply comes first on the connection; both come
// one byte at a time.
TEST(DnsResolver, TcpQueryHasTheLengthFieldAndOnlyTheReplyCounts) {
  FakeTcpDns server([](const Bytes& query) {
    const Bytes other_id = {query[0], static_cast<std::uint8_t>(query[1] ^ 1)};
    return std::vector<Bytes>{AnswerTo(other_id, OneMxReply("other-id.forged")), AnswerTo(query, MxReply())};
  });
  CDnsResolver resolver(5);
  resolver.SetServerPort(server.Port());
  resolver.SetTransport(CDnsResolver::kTransportTcp);
  std::vector<std::string> results;
  ASSERT_TRUE(resolver.Lookup(kLoopback, "example.org", results)) << resolver.GetErrorText();
  EXPECT_EQ(results, kMxTexts);
  const std::vector<Bytes> queries = server.Queries();
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(Bytes(queries[0].begin(), queries[0].begin() + 2), Bytes({0x00, 0x1D}));
  EXPECT_EQ(Bytes(queries[0].begin() + 4, queries[0].end()), WithoutId(kExampleQuery));
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

// Addresses of a mail server: asked of the same server with an A query, with
// the same rules for what counts as the reply.
TEST(DnsResolver, ResolveHostAsksForAddressRecords) {
  FakeUdpDns server([](std::size_t, const Bytes& query) {
    const Bytes question(query.begin() + dns::kHeaderSize, query.end());  // echoed
    const bool known = question == Wire().Question(Name("mail.example.org"), dns::kTypeA).b;
    Wire reply;
    reply.Header(dnstest::kReply, 1, known ? 3 : 0, 0, 0).Add(question);
    if (known) {
      reply.Record(Name("mail.example.org"), dns::kTypeCNAME, Name("host.example.org"))
          .Record(Name("host.example.org"), dns::kTypeA, dnstest::A(192, 0, 2, 7))
          .Record(Name("host.example.org"), dns::kTypeA, dnstest::A(192, 0, 2, 8));
    }
    return std::vector<Datagram>{{AnswerTo(query, reply.b)}};
  });
  struct Case {
    const char* label;
    const char* host;
    bool found;
    std::vector<std::string> addresses;
    std::size_t queries;  // queries sent so far
  } cases[] = {
      {"dotted address: itself, no query", "192.0.2.99", true, {"192.0.2.99"}, 0},
      {"the A records, not the CNAME", "mail.example.org", true, {"192.0.2.7", "192.0.2.8"}, 1},
      {"no address records", "none.example.org", false, {}, 2},
  };
  for (const Case& c : cases) {
    CDnsResolver resolver(5);
    resolver.SetServerPort(server.Port());
    std::vector<std::string> addresses = {"stale"};
    EXPECT_EQ(resolver.ResolveHost(kLoopback, c.host, addresses), c.found) << c.label;
    EXPECT_EQ(addresses, c.addresses) << c.label;
    EXPECT_EQ(resolver.GetErrorText(), "") << c.label;
    EXPECT_EQ(server.Queries().size(), c.queries) << c.label;
  }
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
  FakeUdpDns server(Always(MxReply()));
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
