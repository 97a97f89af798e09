// The POP3 command state machine, as transcripts: lines in, exact replies out.
#include <cstdio>
#include <map>

#include "pop3_test_support.h"

namespace pop3_test {
namespace {

constexpr const char* kNotValid = "-ERR Command not valid in this state\r\n";
constexpr const char* kNoSuch = "-ERR no such message\r\n";

TEST_F(Pop3Test, AuthorizationStateAllowsOnlyUserPassCapaQuit) {
  struct Case {
    const char* label;
    const char* line;
    const char* reply;
  };
  const Case cases[] = {
      {"STAT before login", "STAT", kNotValid},
      {"LIST before login", "LIST", kNotValid},
      {"RETR before login", "RETR 1", kNotValid},
      {"NOOP before login", "NOOP", kNotValid},
      {"unknown before login", "XYZZY", kNotValid},
      {"PASS without USER", "PASS secret", kNotValid},
      {"CAPA", "CAPA", "+OK Capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\n.\r\n"},
      {"lower-case user", "user bob", "+OK\r\n"},
      {"wrong password", "PASS wrong", "-ERR login failed\r\n"},
      {"still authorization", "STAT", kNotValid},
      {"password in other case", "pass SeCrEt", "+OK authentication successful\r\n"},
      {"transaction", "STAT", "+OK 0 0\r\n"},
      {"unknown in transaction", "XYZZY", "-ERR Command not implemented.\r\n"},
      {"NOOP", "noop", "+OK\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(Say(c.line), c.reply) << c.label;
  EXPECT_EQ(m_session.GetState(), CPop3Socket::kStateTransaction);
}

// STLS and the passwords it guards, by what the connection offers.
TEST_F(Pop3Test, Encryption) {
  struct Case {
    const char* label;
    bool tls_available;
    bool encrypted;
    int tls_auth_only;
    std::vector<std::pair<const char*, const char*>> dialogue;
  };
  const char* const capa_tls = "+OK Capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\nSTLS\r\n.\r\n";
  const char* const capa_plain = "+OK Capability list follows\r\nTOP\r\nUSER\r\nUIDL\r\n.\r\n";
  const Case cases[] = {
      {"no certificate: STLS unknown", false, false, 0,
       {{"CAPA", capa_plain}, {"STLS", kNotValid}, {"USER bob", "+OK\r\n"},
        {"PASS secret", "+OK authentication successful\r\n"}, {"STLS", "-ERR Command not implemented.\r\n"}}},
      {"certificate: STLS offered and taken, USER forgotten", true, false, 0,
       {{"CAPA", capa_tls}, {"USER bob", "+OK\r\n"}, {"STLS", "+OK Begin TLS negotiation\r\n"}}},
      {"no STLS after the login", true, false, 0,
       {{"USER bob", "+OK\r\n"}, {"PASS secret", "+OK authentication successful\r\n"}, {"STLS", kNotValid}}},
      {"encrypted: no STLS any more", true, true, 0, {{"CAPA", capa_plain}, {"STLS", kNotValid}}},
      {"TlsAuthOnly on a plain session", true, false, 1,
       {{"CAPA", "+OK Capability list follows\r\nTOP\r\nUIDL\r\nSTLS\r\n.\r\n"},
        {"USER bob", "-ERR TLS required\r\n"}, {"PASS secret", "-ERR TLS required\r\n"}, {"STAT", kNotValid}}},
      {"TlsAuthOnly on an encrypted session", true, true, 1,
       {{"CAPA", capa_plain}, {"USER bob", "+OK\r\n"}, {"PASS secret", "+OK authentication successful\r\n"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    CPop3Socket session;
    FakeConnection conn(&m_server);
    conn.tls_available = c.tls_available;
    conn.encrypted = c.encrypted;
    session.m_bTlsAuthOnly = c.tls_auth_only;
    session.Attach(&conn, &conn);
    for (const auto& [line, reply] : c.dialogue) {
      conn.sent.clear();
      session.OnReceivedText(std::string(line) + "\r\n");
      EXPECT_EQ(conn.sent, reply) << line;
    }
    const bool started = std::string(c.dialogue.back().second).starts_with("+OK Begin");
    EXPECT_EQ(conn.tls_starts, started ? 1 : 0);
    if (started) {
      conn.encrypted = true;
      conn.sent.clear();
      session.OnReceivedText("PASS secret\r\n");
      EXPECT_EQ(conn.sent, kNotValid) << "USER given in the clear is forgotten";
    }
  }
}

// What follows STLS in the same read came in the clear: it is thrown away.
TEST_F(Pop3Test, TextAfterStlsIsDropped) {
  m_conn.tls_available = true;
  EXPECT_EQ(Say("STLS\r\nUSER bob\r\nPASS secret"), "+OK Begin TLS negotiation\r\n");
  EXPECT_EQ(m_conn.tls_starts, 1);
  EXPECT_TRUE(m_session.m_strReceived.empty());
  EXPECT_EQ(m_session.GetState(), CPop3Socket::kStateAuthorization);
}

TEST_F(Pop3Test, UserNameIsTakenAsSentAndLoginFollowsTheAccounts) {
  struct Case {
    const char* label;
    const char* user;
    const char* reply;
  };
  const Case cases[] = {
      {"two spaces keep a leading space", "USER  bob", "-ERR login failed\r\n"},
      {"trailing space kept", "USER bob ", "-ERR login failed\r\n"},
      {"unknown user", "USER carol", "-ERR login failed\r\n"},
      {"name in other case", "USER BOB", "+OK authentication successful\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Say(c.user), "+OK\r\n") << c.label;
    EXPECT_EQ(Say("PASS secret"), c.reply) << c.label;
  }
}

// The delays themselves are the connection framework's (tests/net): each
// failed PASS takes one, the fifth closes with its own reply, and a
// locked-out address is refused with the right password.
TEST_F(Pop3Test, FailedPassIsDelayedAndTheFifthEndsTheSession) {
  EXPECT_EQ(Say("USER bob"), "+OK\r\n");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Say("PASS wrong"), "-ERR login failed\r\n");
  EXPECT_EQ(Say("PASS wrong"), "-ERR too many failed logins\r\n");
  EXPECT_EQ(m_conn.delays, (std::vector<unsigned>{1000, 2000, 4000, 8000, 8000}));
  EXPECT_TRUE(m_conn.closed);
  EXPECT_EQ(m_session.GetState(), CPop3Socket::kStateAuthorization);

  for (int i = 0; i < 16; ++i) m_server.RecordLoginFailure(m_conn.peer);
  ASSERT_TRUE(m_server.IsLoginLocked(m_conn.peer));
  CPop3Socket session;
  FakeConnection conn(&m_server);
  session.Attach(&conn, &conn);
  session.OnReceivedText("USER bob\r\nPASS secret\r\n");
  conn.EndDelays(session);
  EXPECT_EQ(conn.sent, "+OK\r\n-ERR login failed\r\n");
  EXPECT_EQ(session.GetState(), CPop3Socket::kStateAuthorization);
}

TEST_F(Pop3Test, QuitInAuthorizationEndsTheSession) {
  EXPECT_EQ(Say("QUIT"), "+OK session ended\r\n");
  EXPECT_TRUE(m_conn.closed);
  EXPECT_GE(m_conn.quits, 1);
}

TEST_F(Pop3Test, EveryCommandIsLoggedWithItsArgumentAndTouchesActivity) {
  Say("user bob");
  Say("PASS secret");
  Say("stat");
  Say("");  // an empty line is no command
  EXPECT_TRUE(Logged("USER bob"));
  EXPECT_TRUE(Logged("PASS secret"));
  EXPECT_TRUE(Logged("STAT "));  // a command without argument keeps its space
  EXPECT_TRUE(Logged("+OK 0 0"));
  EXPECT_EQ(m_conn.touches, 3);

  // A stray LF or CR inside a received line cannot start a log line of its
  // own: it is logged visibly, in the one line of the command.
  Say("NOOP x\n12/08/2026 00:00:00 <POP3> forged\rline");
  EXPECT_TRUE(Logged("NOOP x\\n12/08/2026 00:00:00 <POP3> forged\\rline"));
}

TEST_F(Pop3Test, EmptyLineGetsNoReply) {
  EXPECT_EQ(Say(""), "");
  EXPECT_EQ(m_conn.touches, 0);
}

TEST_F(Pop3Test, StatListAndDeleFollowTheMarks) {
  WriteFileBytes(Mailbox() / "big.eml", std::string(120, 'x'));
  WriteFileBytes(Mailbox() / "small.eml", std::string(80, 'y'));
  LoginBob();
  const int big = NumberOf("big.eml");
  const int small = NumberOf("small.eml");
  ASSERT_EQ(big + small, 3);

  EXPECT_EQ(Say("STAT"), "+OK 2 200\r\n");
  EXPECT_EQ(Say("DELE " + std::to_string(big)),
            "+OK message " + std::to_string(big) + " marked as deleted\r\n");
  EXPECT_EQ(Say("STAT"), "+OK 1 80\r\n");
  EXPECT_EQ(Say("LIST"), "+OK scan listing follows\r\n" + std::to_string(small) + " 80\r\n.\r\n");
  EXPECT_EQ(Say("LIST " + std::to_string(big)),
            "-ERR message " + std::to_string(big) + " is marked as del\r\n");
  EXPECT_EQ(Say("LIST " + std::to_string(small)), "+OK " + std::to_string(small) + " 80\r\n");
  EXPECT_EQ(Say("DELE " + std::to_string(big)),
            "-ERR message " + std::to_string(big) + " already deleted\r\n");
  EXPECT_EQ(Say("DELE 3"), kNoSuch);
  EXPECT_EQ(Say("DELE 0"), kNoSuch);
  // Marked messages keep their numbers.
  EXPECT_EQ(Say("UIDL"), "+OK unique-id listing follows\r\n" + std::to_string(small) +
                             " small\r\n.\r\n");
  EXPECT_EQ(Say("RSET"), "+OK\r\n");
  EXPECT_EQ(Say("STAT"), "+OK 2 200\r\n");
}

TEST_F(Pop3Test, ListingsWithAndWithoutArgument) {
  WriteFileBytes(Mailbox() / "0123456789ABCDEF0123456789ABCDEF.eml", "Subject: a\r\n\r\nhi\r\n");
  WriteFileBytes(Mailbox() / "notes.txt", "n");
  LoginBob();
  const int queued = NumberOf("0123456789ABCDEF0123456789ABCDEF.eml");
  const int notes = NumberOf("notes.txt");
  ASSERT_EQ(queued + notes, 3);
  std::string list_lines[3], uidl_lines[3];
  list_lines[queued] = std::to_string(queued) + " 18\r\n";
  list_lines[notes] = std::to_string(notes) + " 1\r\n";
  uidl_lines[queued] = std::to_string(queued) + " 0123456789ABCDEF0123456789ABCDEF\r\n";
  uidl_lines[notes] = std::to_string(notes) + " notes\r\n";

  struct Case {
    std::string label, line, reply;
  };
  const Case cases[] = {
      {"LIST all", "LIST", "+OK scan listing follows\r\n" + list_lines[1] + list_lines[2] + ".\r\n"},
      {"LIST empty argument", "LIST ", "+OK scan listing follows\r\n" + list_lines[1] +
                                           list_lines[2] + ".\r\n"},
      {"LIST n", "LIST " + std::to_string(notes), "+OK " + std::to_string(notes) + " 1\r\n"},
      {"LIST out of range", "LIST 3", kNoSuch},
      {"UIDL all", "UIDL", "+OK unique-id listing follows\r\n" + uidl_lines[1] + uidl_lines[2] +
                               ".\r\n"},
      {"UIDL empty argument", "UIDL ", "+OK unique-id listing follows\r\n" + uidl_lines[1] +
                                           uidl_lines[2] + ".\r\n"},
      {"UIDL n", "UIDL " + std::to_string(queued),
       "+OK " + std::to_string(queued) + " 0123456789ABCDEF0123456789ABCDEF\r\n"},
      {"UIDL text", "UIDL one", kNoSuch},
  };
  for (const Case& c : cases) EXPECT_EQ(Say(c.line), c.reply) << c.label;
}

// A listing longer than a send piece goes out in pieces, byte for byte as
// one reply, and is logged up to the limit; a short one is one send logged
// in full. Marked messages are left out either way.
TEST_F(Pop3Test, ListingsOfALargeMailboxGoOutInPieces) {
  // Long names make a UIDL listing past one piece with few files.
  constexpr int kMessages = 400;
  std::map<std::string, std::string> stem_to_size;
  for (int i = 0; i < kMessages; ++i) {
    char hex[40];
    std::snprintf(hex, sizeof hex, "%032X", i * 7919);
    const std::string stem = hex + std::string(170, 'q');
    const std::string text(static_cast<std::size_t>(i % 13), 'x');
    WriteFileBytes(Mailbox() / (stem + ".eml"), text);
    stem_to_size[stem] = std::to_string(text.size());
  }
  LoginBob();
  ASSERT_EQ(m_session.m_arrMessages.size(), static_cast<std::size_t>(kMessages));
  Say("DELE 2");
  std::string uidl = "+OK unique-id listing follows\r\n";
  std::string list = "+OK scan listing follows\r\n";
  int unmarked_octets = 0;
  for (int n = 1; n <= kMessages; ++n) {
    if (n == 2) continue;
    const std::string stem = fs::path(std::string(m_session.m_arrMessages.FileName(n - 1))).stem().string();
    ASSERT_EQ(stem_to_size.count(stem), 1u) << stem;
    uidl += std::to_string(n) + " " + stem + "\r\n";
    list += std::to_string(n) + " " + stem_to_size[stem] + "\r\n";
    unmarked_octets += std::stoi(stem_to_size[stem]);
  }
  uidl += ".\r\n";
  list += ".\r\n";
  ASSERT_GT(uidl.size(), CPop3Socket::kMaxLoggedReply + 2);
  ASSERT_LT(list.size(), CPop3Socket::kSendChunk);
  struct Case {
    const char* command;
    const std::string& reply;
    int sends;  // 0: more than one
    std::string logged;
  };
  const Case cases[] = {
      {"UIDL", uidl, 0, uidl.substr(0, CPop3Socket::kMaxLoggedReply) + "..."},
      {"LIST", list, 1, list.substr(0, list.size() - 2)},
  };
  for (const Case& c : cases) {
    m_conn.largest_send = 0;
    const int sends_before = m_conn.sends;
    const std::string sent = Say(c.command);
    EXPECT_EQ(sent.size(), c.reply.size()) << c.command;
    EXPECT_TRUE(sent == c.reply) << c.command;
    // A piece ends with the line that fills it (a name has at most 255 bytes).
    EXPECT_LE(m_conn.largest_send, CPop3Socket::kSendChunk + 300) << c.command;
    if (c.sends == 0) {
      EXPECT_GT(m_conn.sends - sends_before, 1) << c.command;
    } else {
      EXPECT_EQ(m_conn.sends - sends_before, c.sends) << c.command;
    }
    EXPECT_EQ(m_conn.log.back(), c.logged) << c.command;
  }
  EXPECT_EQ(Say("STAT"), "+OK 399 " + std::to_string(unmarked_octets) + "\r\n");
}

TEST_F(Pop3Test, ListingsOfAnEmptyMailbox) {
  LoginBob();
  EXPECT_EQ(Say("LIST"), "+OK scan listing follows\r\n.\r\n");
  EXPECT_EQ(Say("UIDL"), "+OK unique-id listing follows\r\n.\r\n");
  EXPECT_EQ(Say("STAT"), "+OK 0 0\r\n");
}

TEST_F(Pop3Test, MessageNumbersAreReadLikeAtoi) {
  WriteFileBytes(Mailbox() / "a.eml", "A");
  WriteFileBytes(Mailbox() / "b.eml", "B");
  LoginBob();
  struct Case {
    const char* label;
    const char* line;
    int number;  // 0: "-ERR no such message"
  };
  const Case cases[] = {
      {"zero", "LIST 0", 0},
      {"past the end", "LIST 3", 0},
      {"text", "LIST one", 0},
      {"negative", "LIST -1", 0},
      {"huge", "LIST 99999999999999999999", 0},
      {"huge negative", "LIST -99999999999999999999", 0},
      {"plus sign", "LIST +2", 2},
      {"leading blanks", "LIST  \t1", 1},
      {"digits then text", "LIST 2abc", 2},
      {"digits then space", "LIST 1 2", 1},
  };
  for (const Case& c : cases) {
    const std::string expected =
        c.number == 0 ? std::string(kNoSuch) : "+OK " + std::to_string(c.number) + " 1\r\n";
    EXPECT_EQ(Say(c.line), expected) << c.label;
  }
  EXPECT_EQ(ParseMessageNumber("2147483647"), 2147483647);
  EXPECT_EQ(ParseMessageNumber("2147483648"), 2147483647);
  EXPECT_EQ(ParseMessageNumber("-2147483648"), -2147483647 - 1);
}

TEST_F(Pop3Test, RetrAndTopRefuseBadNumbers) {
  WriteFileBytes(Mailbox() / "a.eml", "Subject: a\r\n\r\nbody\r\n");
  WriteFileBytes(Mailbox() / "b.eml", "Subject: b\r\n\r\nbody\r\n");
  LoginBob();
  struct Case {
    const char* label;
    const char* line;
  };
  const Case cases[] = {
      {"RETR 0", "RETR 0"},
      {"RETR 3", "RETR 3"},
      {"RETR text", "RETR first"},
      {"RETR without argument", "RETR"},
      {"TOP without count", "TOP 1"},
      {"TOP 0 lines", "TOP 0 1"},
      {"TOP past the end", "TOP 3 0"},
      {"TOP with leading space", "TOP  1 0"},
  };
  for (const Case& c : cases) EXPECT_EQ(Say(c.line), kNoSuch) << c.label;
  EXPECT_EQ(Say("LAST"), "+OK 1\r\n") << "refused RETRs do not count";
}

TEST_F(Pop3Test, LastFollowsRetrAndRset) {
  for (const char* name : {"a.eml", "b.eml", "c.eml"}) WriteFileBytes(Mailbox() / name, "x\r\n");
  LoginBob();
  EXPECT_EQ(Say("LAST"), "+OK 1\r\n");
  Say("RETR 3");
  EXPECT_EQ(Say("LAST"), "+OK 3\r\n");
  Say("RETR 2");
  EXPECT_EQ(Say("LAST"), "+OK 3\r\n") << "only a higher number moves it";
  Say("TOP 3 0");
  Say("RSET");
  EXPECT_EQ(Say("LAST"), "+OK 1\r\n");
  Say("TOP 2 0");
  EXPECT_EQ(Say("LAST"), "+OK 1\r\n") << "TOP does not count";
}

TEST_F(Pop3Test, MarkedMessageIsRefusedByEveryMessageCommand) {
  WriteFileBytes(Mailbox() / "a.eml", "x\r\n");
  LoginBob();
  Say("DELE 1");
  for (const char* command : {"LIST 1", "UIDL 1", "RETR 1", "TOP 1 0"})
    EXPECT_EQ(Say(command), "-ERR message 1 is marked as del\r\n") << command;
}

TEST_F(Pop3Test, SecondLoginRebuildsTheSnapshotAndDropsMarks) {
  WriteFileBytes(Mailbox() / "a.eml", "x\r\n");
  LoginBob();
  Say("DELE 1");
  WriteFileBytes(Mailbox() / "b.eml", "yy\r\n");
  EXPECT_EQ(Say("STAT"), "+OK 0 0\r\n") << "a new file is seen at the next login";
  EXPECT_EQ(Say("PASS secret"), "+OK authentication successful\r\n");
  EXPECT_EQ(Say("STAT"), "+OK 2 7\r\n");
  EXPECT_EQ(Say("USER alice"), "+OK\r\n");
  EXPECT_EQ(Say("PASS wrong"), "-ERR login failed\r\n");
  EXPECT_EQ(Say("STAT"), "+OK 2 7\r\n") << "a failed PASS keeps the state and snapshot";
}

TEST_F(Pop3Test, CommandsInOneReadAndSplitOverReadsRunInOrder) {
  LoginBob();
  m_conn.sent.clear();
  m_session.OnReceivedText("NOOP\r\nSTAT\r\nLA");
  EXPECT_EQ(m_conn.sent, "+OK\r\n+OK 0 0\r\n");
  m_session.OnReceivedText("ST\r\n");
  EXPECT_EQ(m_conn.sent, "+OK\r\n+OK 0 0\r\n+OK 1\r\n");
}

}  // namespace
}  // namespace pop3_test
