// The SMTP command session as transcripts: lines in, exact replies out, for
// the rule table, the state changes, the authentication rules, blocked
// senders, forward rules and refused line breaks inside a command line.
#include <gtest/gtest.h>

#include <algorithm>

#include "smtp_test_support.h"

namespace {

using Replies = std::vector<std::string>;

const char* const kBadSequence = "503 Bad sequence of commands (given out of order)";
const char* const kNotAuthenticated = "551 Client was not authenticated";
const char* const kEhlo = "250-Supported extensions:\r\n250-AUTH PLAIN LOGIN\r\n250-VRFY\r\n250 OK";
// base64 of "joe", "secret", "\0joe\0secret", "\0joe\0wrong".
const char* const kJoe = "am9l";
const char* const kSecret = "c2VjcmV0";
const char* const kPlainJoe = "AGpvZQBzZWNyZXQ=";
const char* const kPlainWrong = "AGpvZQB3cm9uZw==";

struct Transcript {
  const char* label;
  int auth_local;
  int auth_remote;
  std::vector<std::string> lines;
  Replies replies;  // one entry per line
};

class SmtpCommands : public SmtpSessionTest {
 protected:
  void Run(const Transcript& t) {
    SCOPED_TRACE(t.label);
    m_session = std::make_unique<CSmtpSocket>();
    m_session->m_arrDomains = {"d1.test"};
    m_session->m_arrBlockMailFrom = {"*@blocked.test"};
    m_session->m_bAuthLocal = t.auth_local;
    m_session->m_bAuthRemote = t.auth_remote;
    m_session->Attach(&m_conn, &m_conn);
    m_conn.replies.clear();
    m_conn.closed = false;
    m_conn.quits = 0;
    for (std::size_t i = 0; i < t.lines.size(); ++i) {
      const Replies got = Feed(t.lines[i] + "\r\n");
      ASSERT_LT(i, t.replies.size());
      EXPECT_EQ(got, Replies{t.replies[i]}) << "line " << i << ": " << t.lines[i];
    }
  }
};

TEST_F(SmtpCommands, RuleTable) {
  const Transcript cases[] = {
      {"commands before HELO are out of order", 0, 1,
       {"MAIL FROM:<a@d1.test>", "RCPT TO:<joe@d1.test>", "AUTH LOGIN", "NOOP", "DATA", "RSET", "FOO"},
       {kBadSequence, kBadSequence, kBadSequence, kBadSequence, kBadSequence, kBadSequence, kBadSequence}},
      {"QUIT before HELO", 0, 1, {"QUIT"}, {"221 Bye"}},
      {"HELO then the simple commands", 0, 1,
       {"HELO client", "NOOP", "VRFY joe", "HELP", "XYZZY", "RSET"},
       {"250 OK", "250 OK", "252 Cannot VRFY user",
        "214-This server supports the following commands:\r\n"
        "214 HELO EHLO RCPT DATA RSET MAIL QUIT VRFY HELP NOOP",
        "500 Command not implemented.", "250 OK"}},
      {"EHLO lists the extensions in one reply", 0, 1, {"EHLO client"}, {kEhlo}},
      {"command words in any case", 0, 1, {"helo x", "NoOp", "quit"}, {"250 OK", "250 OK", "221 Bye"}},
      {"DATA without MAIL, then without RCPT", 0, 1,
       {"HELO x", "DATA", "MAIL FROM:<a@d1.test>", "DATA"},
       {"250 OK", "503 Need MAIL command", "250 OK", "503 Need RCPT command"}},
      {"RCPT without MAIL", 0, 1, {"HELO x", "RCPT TO:<joe@d1.test>"}, {"250 OK", "503 Need MAIL FROM: first"}},
      {"RSET ends the transaction", 0, 1,
       {"HELO x", "MAIL FROM:<a@d1.test>", "RSET", "RCPT TO:<joe@d1.test>"},
       {"250 OK", "250 OK", "250 OK", "503 Need MAIL FROM: first"}},
      {"AuthRemote: remote refused, local domain in any case accepted", 0, 1,
       {"HELO x", "MAIL FROM:<a@remote.test>", "RCPT TO:<x@remote.test>", "RCPT TO:<joe@D1.Test>"},
       {"250 OK", "250 OK", kNotAuthenticated, "250 OK"}},
      {"AuthRemote off: remote accepted", 0, 0,
       {"HELO x", "MAIL FROM:<a@remote.test>", "RCPT TO:<x@remote.test>"}, {"250 OK", "250 OK", "250 OK"}},
      {"after AUTH any domain is accepted", 0, 1,
       {"EHLO x", "AUTH LOGIN", kJoe, kSecret, "MAIL FROM:<joe@d1.test>", "RCPT TO:<x@remote.test>"},
       {kEhlo, "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "235 Authentication successful.", "250 OK", "250 OK"}},
      {"AuthLocal: everything but HELO, EHLO, AUTH and QUIT needs AUTH", 1, 1,
       {"HELO x", "NOOP", "RSET", "MAIL FROM:<a@d1.test>", "VRFY joe", "HELP", "XYZZY", "EHLO x", "QUIT"},
       {"250 OK", kNotAuthenticated, kNotAuthenticated, kNotAuthenticated, kNotAuthenticated,
        kNotAuthenticated, kNotAuthenticated, kEhlo, "221 Bye"}},
      {"AuthLocal: allowed after AUTH", 1, 1,
       {"EHLO x", "AUTH PLAIN", kPlainJoe, "NOOP"},
       {kEhlo, "334 VXNlcm5hbWU6", "235 Authentication successful.", "250 OK"}},
      {"EHLO after AUTH drops the authentication, HELO does not", 1, 1,
       {"EHLO x", "AUTH PLAIN", kPlainJoe, "HELO y", "NOOP", "EHLO z", "NOOP"},
       {kEhlo, "334 VXNlcm5hbWU6", "235 Authentication successful.", "250 OK", "250 OK", kEhlo,
        kNotAuthenticated}},
      {"blocked sender, case-sensitive", 0, 1,
       {"HELO x", "MAIL FROM:<joe@blocked.test>", "RCPT TO:<joe@d1.test>", "MAIL FROM: <joe@BLOCKED.test> ",
        "RCPT TO:<joe@d1.test>"},
       {"250 OK", "550 Sender verify failed", "503 Need MAIL FROM: first", "250 OK", "250 OK"}},
  };
  for (const Transcript& t : cases) Run(t);
}

TEST_F(SmtpCommands, AuthExchanges) {
  const Transcript cases[] = {
      {"LOGIN success", 0, 1, {"EHLO x", "AUTH LOGIN", kJoe, kSecret, "NOOP"},
       {kEhlo, "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "235 Authentication successful.", "250 OK"}},
      {"LOGIN wrong password, back to commands", 0, 1, {"EHLO x", "AUTH LOGIN", kJoe, "d3Jvbmc=", "NOOP"},
       {kEhlo, "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "501 Authentication failed.", "250 OK"}},
      {"user name and password without regard to case", 0, 1, {"EHLO x", "AUTH LOGIN", "Sk9F", "U0VDUkVU"},
       {kEhlo, "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "235 Authentication successful."}},
      {"AUTH=LOGIN", 0, 1, {"EHLO x", "AUTH=LOGIN", kJoe, kSecret},
       {kEhlo, "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "235 Authentication successful."}},
      {"unknown mechanism starts LOGIN", 0, 1, {"EHLO x", "AUTH CRAM-MD5", kJoe, kSecret},
       {kEhlo, "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "235 Authentication successful."}},
      {"in the AUTH states QUIT is credentials", 0, 1, {"EHLO x", "AUTH LOGIN", "QUIT", "QUIT", "NOOP"},
       {kEhlo, "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "501 Authentication failed.", "250 OK"}},
      {"PLAIN success", 0, 1, {"EHLO x", "AUTH PLAIN", kPlainJoe},
       {kEhlo, "334 VXNlcm5hbWU6", "235 Authentication successful."}},
      {"PLAIN failure, next line is a command", 0, 1, {"EHLO x", "auth plain", kPlainWrong, "NOOP"},
       {kEhlo, "334 VXNlcm5hbWU6", "501 Authentication failed.", "250 OK"}},
      {"PLAIN with initial response", 0, 1, {"EHLO x", std::string("AUTH PLAIN ") + kPlainJoe, "NOOP"},
       {kEhlo, "235 Authentication successful.", "250 OK"}},
      {"PLAIN with wrong initial response", 0, 1, {"EHLO x", std::string("AUTH PLAIN ") + kPlainWrong, "NOOP"},
       {kEhlo, "501 Authentication failed.", "250 OK"}},
      {"LOGIN with initial user name", 0, 1, {"EHLO x", std::string("AUTH LOGIN ") + kJoe, kSecret},
       {kEhlo, "334 UGFzc3dvcmQ6", "235 Authentication successful."}},
      {"PLAIN with an authorisation identity", 0, 1, {"EHLO x", "AUTH PLAIN YWRtaW4Aam9lAHNlY3JldA=="},
       {kEhlo, "235 Authentication successful."}},
      {"PLAIN without NUL bytes", 0, 1, {"EHLO x", "AUTH PLAIN", "am9lc2VjcmV0"},
       {kEhlo, "334 VXNlcm5hbWU6", "501 Authentication failed."}},
      // Empty names and passwords never log in, also when an account has them.
      {"PLAIN with empty user name and password", 0, 1, {"EHLO x", "AUTH PLAIN AAA="},
       {kEhlo, "501 Authentication failed."}},
      {"PLAIN with an empty password", 0, 1, {"EHLO x", "AUTH PLAIN AGFkbWluAA=="},
       {kEhlo, "501 Authentication failed."}},
      {"empty LOGIN answers are answers", 0, 1, {"EHLO x", "AUTH LOGIN", "", "", "NOOP"},
       {kEhlo, "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "501 Authentication failed.", "250 OK"}},
      {"empty LOGIN password", 0, 1, {"EHLO x", "AUTH LOGIN YWRtaW4=", ""},
       {kEhlo, "334 UGFzc3dvcmQ6", "501 Authentication failed."}},
      {"empty PLAIN answer", 0, 1, {"EHLO x", "AUTH PLAIN", "", "NOOP"},
       {kEhlo, "334 VXNlcm5hbWU6", "501 Authentication failed.", "250 OK"}},
  };
  m_server->m_arrAccounts.push_back({"", "", ""});
  m_server->m_arrAccounts.push_back({"admin", "Administrator", ""});
  for (const Transcript& t : cases) Run(t);
}

TEST_F(SmtpCommands, EmptyLinesOutsideAuthAreDropped) {
  Lines({"EHLO x"});
  EXPECT_EQ(Feed("\r\n\r\nNOOP\r\n"), Replies{"250 OK"});
}

TEST_F(SmtpCommands, FailedAuthKeepsEarlierSuccess) {
  m_session->m_bAuthLocal = 1;
  Lines({"EHLO x", "AUTH PLAIN", kPlainJoe});
  EXPECT_EQ(Lines({"AUTH PLAIN", kPlainWrong, "NOOP"}),
            (Replies{"334 VXNlcm5hbWU6", "501 Authentication failed.", "250 OK"}));
  EXPECT_EQ(m_session->m_bAuthenticated, 1);
}

TEST_F(SmtpCommands, StateChanges) {
  EXPECT_EQ(m_session->GetState(), SMTP_STATE_CONNECTED);
  Lines({"HELO x"});
  EXPECT_EQ(m_session->GetState(), SMTP_STATE_READY);
  EXPECT_EQ(m_session->m_strHelo, "x");
  Lines({"AUTH LOGIN"});
  EXPECT_EQ(m_session->GetState(), SMTP_STATE_AUTH_USER);
  Lines({kJoe});
  EXPECT_EQ(m_session->GetState(), SMTP_STATE_AUTH_PASSWORD);
  EXPECT_EQ(m_session->m_strAuthUser, "joe");
  Lines({"eA=="});
  EXPECT_EQ(m_session->GetState(), SMTP_STATE_READY);
  Lines({"AUTH PLAIN"});
  EXPECT_EQ(m_session->GetState(), SMTP_STATE_AUTH_PLAIN);
  Lines({kPlainJoe});
  EXPECT_EQ(m_session->GetState(), SMTP_STATE_READY);
  EXPECT_EQ(m_session->m_strAuthUser, "joe");

  // The transaction survives HELO, EHLO and AUTH.
  Lines({"MAIL FROM: <a@d1.test> ", "RCPT TO:<joe@d1.test>", "EHLO y", "AUTH PLAIN", kPlainWrong});
  EXPECT_EQ(m_session->m_strFrom, "<a@d1.test>");
  EXPECT_EQ(m_session->m_arrRecipients, std::vector<std::string>{"<joe@d1.test>"});
  Lines({"DATA"});
  EXPECT_EQ(m_session->GetState(), SMTP_STATE_DATA);
}

// The delays themselves are the connection framework's (tests/net); here:
// both AUTH forms take them, the fifth failure gets the closing reply, and a
// locked-out address is refused whatever it sends.
TEST_F(SmtpCommands, FailedAuthIsDelayedAndTheFifthEndsTheSession) {
  m_bEndDelays = false;
  Lines({"EHLO x"});
  EXPECT_EQ(Lines({"AUTH LOGIN", kJoe, "d3Jvbmc="}), (Replies{"334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6"}));
  EXPECT_EQ(m_conn.delays, (std::vector<unsigned>{1000}));
  EXPECT_EQ(Lines({"NOOP"}), Replies{}) << "waits for the delay";
  EXPECT_EQ(m_conn.EndDelays(*m_session), 1);
  EXPECT_EQ(m_conn.replies.back(), "250 OK");
  for (int i = 0; i < 4; ++i) {
    Feed(std::string("AUTH PLAIN ") + kPlainWrong + "\r\n");
    m_conn.EndDelays(*m_session);
  }
  EXPECT_EQ(m_conn.delays, (std::vector<unsigned>{1000, 2000, 4000, 8000, 8000}));
  EXPECT_EQ(m_conn.replies.back(), "421 4.7.0 Too many failed logins");
  EXPECT_TRUE(m_conn.closed);
  EXPECT_EQ(m_session->m_bAuthenticated, 0);

  for (int i = 0; i < 16; ++i) m_server->RecordLoginFailure(m_conn.peer);
  ASSERT_TRUE(m_server->IsLoginLocked(m_conn.peer));
  m_bEndDelays = true;
  m_session = std::make_unique<CSmtpSocket>();
  m_session->Attach(&m_conn, &m_conn);
  EXPECT_EQ(Lines({"EHLO x", std::string("AUTH PLAIN ") + kPlainJoe}), (Replies{kEhlo, "501 Authentication failed."}));
  EXPECT_EQ(m_session->m_bAuthenticated, 0);
}

TEST_F(SmtpCommands, QuitClosesTheConnection) {
  Lines({"HELO x"});
  EXPECT_EQ(m_conn.quits, 0);
  Lines({"QUIT"});
  EXPECT_TRUE(m_conn.closed);
  EXPECT_GT(m_conn.quits, 0);
}

TEST_F(SmtpCommands, SenderAndRecipientTexts) {
  Lines({"HELO x", "MAIL from:<a@d1.test>"});
  EXPECT_EQ(m_session->m_strFrom, "from:<a@d1.test>") << "a lower-case prefix stays";
  Lines({"MAIL FROM:   <b@d1.test>   "});
  EXPECT_EQ(m_session->m_strFrom, "<b@d1.test>");
  // Without forward rules every address still comes out in angle brackets.
  Lines({"RCPT TO: joe@d1.test ", "RCPT TO:<JOE@d1.test>", "RCPT TO:<joe@d1.test>"});
  EXPECT_EQ(m_session->m_arrRecipients,
            (std::vector<std::string>{"<joe@d1.test>", "<JOE@d1.test>", "<joe@d1.test>"}));
  // A second MAIL starts over.
  Lines({"MAIL FROM:<c@d1.test>", "RCPT TO:<ann@d1.test>"});
  EXPECT_EQ(m_session->m_arrRecipients, std::vector<std::string>{"<ann@d1.test>"});
}

TEST_F(SmtpCommands, EveryLineIsLoggedAndTouchesActivity) {
  Lines({"helo there", "NOOP", "AUTH LOGIN", kJoe});
  const std::vector<std::string> expected = {
      "HELO there", "250 OK", "NOOP ", "250 OK", "AUTH LOGIN", "334 VXNlcm5hbWU6", "AM9L ",
      "334 UGFzc3dvcmQ6"};
  EXPECT_EQ(m_conn.log, expected);
  EXPECT_EQ(m_conn.touches, 4);
}

TEST_F(SmtpCommands, ForwardRules) {
  m_session->m_arrForwardRules = {"*@d1.test|*@d2.test", "info@*|sales@d1.test"};
  Lines({"HELO x", "MAIL FROM:<a@d1.test>"});
  m_conn.log.clear();
  EXPECT_EQ(Lines({"RCPT TO:<joe@d1.test>"}), Replies{kNotAuthenticated}) << "d2.test is not local";
  EXPECT_EQ(m_conn.log.at(1), "Forwarding email to: <joe@d2.test>");
  m_session->m_arrDomains.push_back("d2.test");
  // Rules match with regard to case: "Joe@D1.test" is not forwarded (but
  // its domain is local, compared without regard to case).
  EXPECT_EQ(Lines({"RCPT TO:<joe@d1.test>", "RCPT TO:<info@x.test>", "RCPT TO:<Joe@D1.test>"}),
            (Replies{"250 OK", "250 OK", "250 OK"}));
  EXPECT_EQ(m_session->m_arrRecipients,
            (std::vector<std::string>{"<joe@d2.test>", "<sales@d1.test>", "<Joe@D1.test>"}));
}

TEST_F(SmtpCommands, RecipientLimit) {
  Lines({"HELO x", "MAIL FROM:<a@d1.test>"});
  for (std::size_t i = 0; i < CSmtpSocket::kMaxRecipients; ++i) Feed("RCPT TO:<joe@d1.test>\r\n");
  EXPECT_EQ(m_conn.replies.back(), "250 OK");
  EXPECT_EQ(Lines({"RCPT TO:<ann@d1.test>"}), Replies{"452 Too many recipients"});
  EXPECT_EQ(m_session->m_arrRecipients.size(), CSmtpSocket::kMaxRecipients);
  EXPECT_EQ(Lines({"MAIL FROM:<b@d1.test>", "RCPT TO:<ann@d1.test>"}), (Replies{"250 OK", "250 OK"}));
}

// Paths longer than RFC 5321 allows, and texts longer than the envelope
// takes, are refused before anything is kept.
TEST_F(SmtpCommands, OverlongAddresses) {
  const char* const kSyntax = "501 Syntax error in parameters or arguments";
  const std::string longest = "<" + std::string(CSmtpSocket::kMaxPath - 10, 'a') + "@d1.test>";
  ASSERT_EQ(longest.size(), CSmtpSocket::kMaxPath);
  const std::string params(CSmtpSocket::kMaxAddressText - longest.size() - 1, 'p');
  struct Case {
    const char* label;
    std::string argument;  // of MAIL FROM: and RCPT TO:
    const char* reply;
  };
  const Case cases[] = {
      {"the longest path", longest, "250 OK"},
      {"one octet more", "<a" + longest.substr(1), kSyntax},
      {"without brackets", longest.substr(1, longest.size() - 2), "250 OK"},
      {"without brackets, one more", "a" + longest.substr(1, longest.size() - 2), kSyntax},
      {"no closing bracket", "<" + std::string(CSmtpSocket::kMaxPath, 'a') + "@d1.test", kSyntax},
      {"parameters up to the text limit", longest + " " + params, "250 OK"},
      {"parameters past the text limit", longest + " " + params + "p", kSyntax},
  };
  Lines({"HELO x"});
  for (const Case& c : cases) {
    EXPECT_EQ(Lines({"MAIL FROM:" + c.argument}), Replies{c.reply}) << "MAIL: " << c.label;
    EXPECT_EQ(m_session->m_strFrom.empty(), c.reply == kSyntax) << c.label;
    ASSERT_EQ(Lines({"MAIL FROM:<a@d1.test>"}), Replies{"250 OK"});
    EXPECT_EQ(Lines({"RCPT TO:" + c.argument}), Replies{c.reply}) << "RCPT: " << c.label;
    EXPECT_EQ(m_session->m_arrRecipients.size(), c.reply == kSyntax ? 0u : 1u) << c.label;
  }
  // A forward rule that makes a path too long refuses it too.
  m_session->m_arrForwardRules = {"*@short.test|*@" + std::string(CSmtpSocket::kMaxPath, 'd') + ".test"};
  EXPECT_EQ(Lines({"RCPT TO:<joe@short.test>"}), Replies{kSyntax});
}

// A CR or LF of its own inside a command line (before the CR LF that ends
// it) is refused and changes nothing, in every state.
TEST_F(SmtpCommands, LineBreaksInsideACommandLine) {
  const char* const kSyntax = "501 Syntax error in parameters or arguments";
  struct Case {
    const char* label;
    std::vector<std::string> setup;
    std::string line;
  };
  const Case cases[] = {
      {"HELO before anything", {}, "HELO a\nx-receiver: <evil@remote.test>"},
      {"HELO with CR", {"HELO ok"}, "HELO a\rb"},
      {"MAIL with LF", {"HELO ok"}, "MAIL FROM:<a@d1.test>\nx-receiver: <evil@remote.test>"},
      {"RCPT with LF", {"HELO ok", "MAIL FROM:<a@d1.test>"}, "RCPT TO:<joe@d1.test>\nX"},
      {"RCPT with CR", {"HELO ok", "MAIL FROM:<a@d1.test>"}, "RCPT TO:<joe@d1.test\r>"},
      {"AUTH user line", {"EHLO ok", "AUTH LOGIN"}, "am9l\nx"},
      {"AUTH PLAIN line", {"EHLO ok", "AUTH PLAIN"}, "\nAGpvZQBzZWNyZXQ="},
      {"DATA", {"HELO ok", "MAIL FROM:<a@d1.test>", "RCPT TO:<joe@d1.test>"}, "DATA\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    m_session = std::make_unique<CSmtpSocket>();
    m_session->m_arrDomains = {"d1.test"};
    m_session->Attach(&m_conn, &m_conn);
    for (const std::string& line : c.setup) Feed(line + "\r\n");
    const int state = m_session->GetState();
    const std::string helo = m_session->m_strHelo;
    const std::string from = m_session->m_strFrom;
    const auto recipients = m_session->m_arrRecipients;
    const std::string user = m_session->m_strAuthUser;
    m_conn.log.clear();
    for (bool bytewise : {false, true}) {
      EXPECT_EQ(Feed(c.line + "\r\n", bytewise), Replies{kSyntax});
      EXPECT_EQ(m_session->GetState(), state);
      EXPECT_EQ(m_session->m_strHelo, helo);
      EXPECT_EQ(m_session->m_strFrom, from);
      EXPECT_EQ(m_session->m_arrRecipients, recipients);
      EXPECT_EQ(m_session->m_strAuthUser, user);
      EXPECT_EQ(m_session->m_bAuthenticated, 0);
    }
    // One received line stays one log line.
    ASSERT_FALSE(m_conn.log.empty());
    EXPECT_EQ(m_conn.log.front().find_first_of("\r\n"), std::string::npos) << m_conn.log.front();
  }
}

TEST_F(SmtpCommands, LinesSplitAndJoinedAcrossReads) {
  const std::string text = "HELO x\r\nNOOP\r\n\r\nVRFY a\r\nMAIL FROM:<a@d1.test>\r\n";
  const Replies expected = {"250 OK", "250 OK", "252 Cannot VRFY user", "250 OK"};
  EXPECT_EQ(Feed(text), expected);
  m_session = std::make_unique<CSmtpSocket>();
  m_session->Attach(&m_conn, &m_conn);
  EXPECT_EQ(Feed(text, true), expected);
}

// STARTTLS and the passwords it guards, by what the connection offers:
// a certificate or none, a plain or an encrypted session, TlsAuthOnly.
TEST_F(SmtpCommands, Encryption) {
  struct Case {
    const char* label;
    bool tls_available;
    bool encrypted;
    int tls_auth_only;
    int max_size;
    std::vector<std::string> lines;
    Replies replies;
  };
  const std::string ehlo_tls = "250-Supported extensions:\r\n250-AUTH PLAIN LOGIN\r\n250-VRFY\r\n"
                               "250-STARTTLS\r\n250 OK";
  const std::string kRequired = "538 5.7.11 Encryption required for requested authentication mechanism";
  const Case cases[] = {
      {"no certificate: EHLO as always, STARTTLS unknown", false, false, 0, 0,
       {"EHLO x", "STARTTLS"}, {kEhlo, "500 Command not implemented."}},
      {"no certificate, with a size limit", false, false, 0, 1000, {"EHLO x"},
       {"250-Supported extensions:\r\n250-AUTH PLAIN LOGIN\r\n250-VRFY\r\n250-SIZE 1000\r\n250 OK"}},
      {"certificate: STARTTLS offered and taken", true, false, 0, 0,
       {"STARTTLS", "EHLO x", "STARTTLS extra", "STARTTLS", "NOOP"},
       {kBadSequence, ehlo_tls, "501 Syntax error in parameters or arguments", "220 Ready to start TLS",
        kBadSequence}},
      {"limit and STARTTLS together", true, false, 0, 1000, {"EHLO x"},
       {"250-Supported extensions:\r\n250-AUTH PLAIN LOGIN\r\n250-VRFY\r\n250-SIZE 1000\r\n"
        "250-STARTTLS\r\n250 OK"}},
      {"encrypted: no STARTTLS any more", true, true, 0, 0, {"EHLO x", "STARTTLS"}, {kEhlo, kBadSequence}},
      {"TlsAuthOnly on a plain session: no AUTH", true, false, 1, 0,
       {"EHLO x", "AUTH LOGIN", "AUTH PLAIN AGpvZQBzZWNyZXQ=", "AUTH=LOGIN"},
       {"250-Supported extensions:\r\n250-VRFY\r\n250-STARTTLS\r\n250 OK", kRequired, kRequired, kRequired}},
      {"TlsAuthOnly on an encrypted session: AUTH", true, true, 1, 0, {"EHLO x", "AUTH PLAIN AGpvZQBzZWNyZXQ="},
       {kEhlo, "235 Authentication successful."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    m_conn.tls_available = c.tls_available;
    m_conn.encrypted = c.encrypted;
    m_conn.tls_starts = 0;
    m_session = std::make_unique<CSmtpSocket>();
    m_session->m_bTlsAuthOnly = c.tls_auth_only;
    m_session->m_nMaxMessageSize = c.max_size;
    m_session->Attach(&m_conn, &m_conn);
    for (std::size_t i = 0; i < c.lines.size(); ++i)
      EXPECT_EQ(Feed(c.lines[i] + "\r\n"), Replies{c.replies[i]}) << c.lines[i];
    const bool started = std::find(c.replies.begin(), c.replies.end(), "220 Ready to start TLS") != c.replies.end();
    EXPECT_EQ(m_conn.tls_starts, started ? 1 : 0);
  }
}

// What follows STARTTLS in the same read came in the clear: it is thrown
// away, and the session starts again as before HELO.
TEST_F(SmtpCommands, TextAfterStartTlsIsDropped) {
  m_conn.tls_available = true;
  m_session->m_bAuthLocal = 1;
  EXPECT_EQ(Feed(std::string("EHLO x\r\nAUTH PLAIN ") + kPlainJoe + "\r\nMAIL FROM:<a@d1.test>\r\n"
                 "STARTTLS\r\nRCPT TO:<joe@d1.test>\r\nRSET\r\nHEL"),
            (Replies{"250-Supported extensions:\r\n250-AUTH PLAIN LOGIN\r\n250-VRFY\r\n250-STARTTLS\r\n250 OK",
                     "235 Authentication successful.", "250 OK", "220 Ready to start TLS"}));
  EXPECT_EQ(m_conn.tls_starts, 1);
  EXPECT_TRUE(m_session->m_strReceived.empty());
  EXPECT_TRUE(m_session->m_lstLines.empty());
  m_conn.encrypted = true;
  EXPECT_EQ(Feed("O y\r\nMAIL FROM:<a@d1.test>\r\n"), (Replies{kBadSequence, kBadSequence}))
      << "no HELO, and the login and the sender were forgotten";
  EXPECT_EQ(Feed("HELO y\r\nMAIL FROM:<a@d1.test>\r\n"), (Replies{"250 OK", kNotAuthenticated}));
  EXPECT_EQ(m_session->GetState(), SMTP_STATE_READY);
}

}  // namespace
