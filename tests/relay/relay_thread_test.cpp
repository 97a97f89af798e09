// The relay thread's message text and its choice of mail servers: which
// lines of a queued file are envelope, how DNS answers become a server list,
// and where FindMailServers takes its servers from.
#include <gtest/gtest.h>

#include "relay/relay_message.h"
#include "relay/relay_thread_test_support.h"

using namespace relaytest;

namespace {

struct MessageCase {
  const char* label;
  std::string strFile;
  std::string strSender;
  std::string strText;
};

// The sender and the whole text a queued file gives, read `read_size` bytes
// at a time.
std::pair<std::string, std::string> ReadRelayMessage(const fs::path& path, std::size_t read_size) {
  CRelayMessage message(read_size);
  EXPECT_TRUE(message.Open(path.string()));
  std::string text;
  for (bool done = false; !done;) {
    std::string piece;
    EXPECT_TRUE(message.ReadText(piece, done));
    EXPECT_LE(piece.size(), 2 * read_size + 8) << "a piece stays within a few read sizes";
    text += piece;
  }
  return {message.Sender(), text};
}

TEST(RelayMessage, EnvelopeLeftOutAndTextInTransferForm) {
  const std::string long_line(20000, 'a');
  const MessageCase cases[] = {
      {"spool file: envelope gone, Received and headers kept byte for byte",
       "x-sender: <a@l.test>\r\nx-receiver: <b@r.test>\r\nReceived: from x;\r\n\tdate\r\nSubject: Hi\r\n\r\nBody",
       "<a@l.test>", "Received: from x;\r\n\tdate\r\nSubject: Hi\r\n\r\nBody\r\n\r\n."},
      {"markers in any case, sender trimmed",
       "X-Sender:   <a@l.test>  \r\nX-RECEIVER: <b@r.test>\r\nSubject: Hi\r\n", "<a@l.test>",
       "Subject: Hi\r\n\r\n."},
      {"a later sender line of the run replaces an earlier one",
       "x-sender: <first@l.test>\r\nx-receiver: <b@r.test>\r\nx-sender: <second@l.test>\r\nS: 1\r\n",
       "<second@l.test>", "S: 1\r\n\r\n."},
      {"marker lines inside the message are the message's own",
       "x-sender: <a@l.test>\r\nx-receiver: <b@r.test>\r\nSubject: Hi\r\nX-Sender: <spoof@evil.test>\r\n"
       "x-receiver: header\r\n\r\nx-sender: body line",
       "<a@l.test>",
       "Subject: Hi\r\nX-Sender: <spoof@evil.test>\r\nx-receiver: header\r\n\r\nx-sender: body line\r\n\r\n."},
      {"a blank line ends the envelope run",
       "x-sender: <a@l.test>\r\n\r\nx-receiver: <b@r.test>\r\n", "<a@l.test>",
       "\r\nx-receiver: <b@r.test>\r\n\r\n."},
      {"the start of a marker is no envelope line", "x-sender: <a@l.test>\r\nx-send\r\nS: 1", "<a@l.test>",
       "x-send\r\nS: 1\r\n\r\n."},
      {"the start of a marker at the end of the file", "x-sender: <a@l.test>\r\nX-Rec", "<a@l.test>",
       "X-Rec\r\n\r\n."},
      {"the sender ends at a control character",
       "x-sender: <a@l.test>\rRCPT TO: <x@evil.test>\r\nS: 1\r\n", "<a@l.test>", "S: 1\r\n\r\n."},
      {"a marker that is not at the start of the line is no envelope",
       "Comment: x-sender: <a@l.test>\r\n", "", "Comment: x-sender: <a@l.test>\r\n\r\n."},
      {"an overlong envelope line is cut, the text after it is whole",
       "x-sender: <a@l.test>\r\nx-receiver: " + long_line + "\r\n" + long_line + "\r\n", "<a@l.test>",
       long_line + "\r\n\r\n."},
      {"bare line feeds become CR LF; a CR inside a line stays",
       "x-sender: <a@l.test>\nS: a\rb\nbody", "<a@l.test>", "S: a\rb\r\nbody\r\n\r\n."},
      {"dot-stuffed lines go out as stored", "x-sender: <a@l.test>\r\n\r\n..line\r\n.", "<a@l.test>",
       "\r\n..line\r\n..\r\n\r\n."},
      {"a dot line after a bare LF cannot end the text",
       "x-sender: <a@l.test>\r\n\r\nhello\n.\nMAIL FROM:<x@evil.test>\n.more\r\n", "<a@l.test>",
       "\r\nhello\r\n..\r\nMAIL FROM:<x@evil.test>\r\n..more\r\n\r\n."},
      {"a dot line after a bare CR", "x-sender: <a@l.test>\r\n\r\nhello\r.\r\nend", "<a@l.test>",
       "\r\nhello\r..\r\nend\r\n\r\n."},
      {"a text ending in a bare CR", "x-sender: <a@l.test>\r\nS: 1\r", "<a@l.test>", "S: 1\r\n\r\n."},
      {"only an envelope", "x-sender: <a@l.test>\r\nx-receiver: <b@r.test>", "<a@l.test>", "\r\n."},
      {"an empty file", "", "", "\r\n."},
  };
  TempHome home("qp-relay-message-");
  const fs::path path = fs::path(home.path()) / "M.eml";
  for (const MessageCase& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(WriteFileBytes(path, c.strFile));
    for (const std::size_t read_size : {std::size_t{1}, std::size_t{3}, CRelayMessage::kReadSize}) {
      SCOPED_TRACE(read_size);
      const auto [sender, text] = ReadRelayMessage(path, read_size);
      EXPECT_EQ(sender, c.strSender);
      EXPECT_EQ(text, c.strText);
    }
  }
  CRelayMessage missing;
  EXPECT_FALSE(missing.Open((fs::path(home.path()) / "missing.eml").string()));
}

TEST(MailServersFromDns, OrdersByPreferenceKeepingAnswerOrderForTies) {
  const struct {
    const char* label;
    std::vector<std::string> results;
    std::string strServers;
  } cases[] = {
      {"higher preference first in the answer", {"10 mx-b.test", "05 mx-a.test"}, "mx-a.test|mx-b.test|"},
      {"equal preferences keep their order", {"20 c.test", "10 b.test", "10 a.test"}, "b.test|a.test|c.test|"},
      {"three-digit preference sorts numerically", {"100 far.test", "00 near.test", "20 mid.test"},
       "near.test|mid.test|far.test|"},
      {"texts without a preference follow, whole", {"127.0.0.9", "10 mx.test"}, "mx.test|127.0.0.9|"},
      {"no answers", {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(MailServersFromDns(c.results), c.strServers);
  }
}

using FindMailServersTest = RelayFixture;

TEST_F(FindMailServersTest, PredefinedEntriesWinOverTheCatchAllAndNeedNoLookup) {
  // No DNS server answers here: any lookup would fail the test.
  m_Relay.m_strDNSServer = "127.0.61.99";
  m_Relay.m_nRelayTimeout = 1;
  m_Relay.m_mapMailServers = {{"remote.test", "mx.remote.test"}, {"*", "smarthost.test"}};
  const struct {
    const char* domain;
    const char* servers;
  } cases[] = {{"remote.test", "mx.remote.test"}, {"other.test", "smarthost.test"}, {"sub.remote.test", "smarthost.test"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.domain);
    std::string servers;
    EXPECT_TRUE(Work().FindMailServers(c.domain, servers));
    EXPECT_EQ(servers, c.servers);
  }
  EXPECT_TRUE(Log().empty());
}

TEST_F(FindMailServersTest, DnsAnswerIsSortedStoredAndAskedOnlyOnce) {
  FakeDnsServer dns;
  dns.m_arrAnswers = {{20, "mx-b.remote.test"}, {10, "mx-a.remote.test"}, {10, "mx-c.remote.test"}};
  START_PEER_OR_SKIP(dns, "127.0.61.53");
  m_Relay.m_strDNSServer = "127.0.61.53";
  m_Relay.m_mapMailServers = {{"other.test", "mx.other.test"}};

  for (int i = 0; i < 2; ++i) {
    std::string servers;
    ASSERT_TRUE(Work().FindMailServers("remote.test", servers));
    EXPECT_EQ(servers, "mx-a.remote.test|mx-c.remote.test|mx-b.remote.test|");
  }
  EXPECT_EQ(dns.Queries(), 1);
  EXPECT_EQ(m_Relay.m_mapMailServers["remote.test"], "mx-a.remote.test|mx-c.remote.test|mx-b.remote.test|");
}

TEST_F(FindMailServersTest, FailedLookupsAreLoggedAndNotStored) {
  FakeDnsServer dns;  // answers, but without records
  START_PEER_OR_SKIP(dns, "127.0.61.54");
  m_Relay.m_strDNSServer = "127.0.61.54";
  std::string servers;
  EXPECT_FALSE(Work().FindMailServers("empty.test", servers));
  EXPECT_FALSE(Work().FindMailServers("empty.test", servers));
  EXPECT_EQ(dns.Queries(), 2);
  EXPECT_EQ(m_Relay.m_mapMailServers.count("empty.test"), 0u);
  EXPECT_TRUE(Logged("<RELAY> DNS Lookup for 'empty.test' failed!"));
}

TEST_F(FindMailServersTest, SilentServerEndsTheLookupAfterTheRelayTimeout) {
  // Nothing listens on this address: the query is never answered.
  m_Relay.m_strDNSServer = "127.0.61.55";
  m_Relay.m_nRelayTimeout = 1;
  const std::uint64_t start = NowMs();
  std::string servers;
  EXPECT_FALSE(Work().FindMailServers("silent.test", servers));
  EXPECT_LT(NowMs() - start, 5000u);
  // The lookup ran to its end without records; the log says why.
  EXPECT_TRUE(Logged("<RELAY> DNS Lookup for 'silent.test' failed: No response from DNS server"));
}

}  // namespace
