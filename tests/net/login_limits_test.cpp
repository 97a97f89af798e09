// Password guessing: the delays and the close of failed logins in one
// session, and the lockout of a client address across sessions, on a
// session whose "LOGIN user password" lines are logins (SMTP AUTH and POP3
// PASS answer through the same calls).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/login_failures.h"
#include "net/session_socket.h"
#include "support/fake_connection.h"
#include "support/fake_server_link.h"

namespace {

struct LoginSession : CSessionSocket {
  std::vector<std::string> lines;  // the lines taken up
  void ProcessCommand() override {
    CommandLine command;
    if (!TakeCommand(command)) return;
    lines.push_back(command.line);
    if (command.word != "LOGIN") {
      SendReply("OK %s", command.word.c_str());
      return;
    }
    const std::size_t space = command.argument.find(' ');
    if (CheckClientLogin(command.argument.substr(0, space), command.argument.substr(space + 1))) {
      SendReply("OK logged in");
      return;
    }
    ReplyLoginFailed("NO failed", "BYE too many");
  }
};

class LoginLimits : public ::testing::Test {
 protected:
  void SetUp() override { m_server.m_arrAccounts = {{"joe", "Joe", "secret"}}; }
  // A new connection from `peer`.
  void Connect(const std::string& peer) {
    m_conn = std::make_unique<FakeConnection>(&m_server);
    m_conn->peer = peer;
    m_session = std::make_unique<LoginSession>();
    m_session->Attach(m_conn.get(), m_conn.get());
  }
  // One login that waits out its delay; returns its reply.
  std::string Login(const std::string& password) {
    const std::size_t before = m_conn->replies.size();
    m_session->OnReceivedText("LOGIN joe " + password + "\r\n");
    m_conn->EndDelays(*m_session);
    return m_conn->replies.size() > before ? m_conn->replies.back() : std::string("(none)");
  }

  FakeServerLink m_server;
  std::unique_ptr<FakeConnection> m_conn;
  std::unique_ptr<LoginSession> m_session;
};

TEST_F(LoginLimits, PipelinedGuessesEachWaitTheirDelayAndTheFifthCloses) {
  Connect("127.0.0.1");
  std::string packet;
  for (int i = 0; i < 20000; ++i) packet += "LOGIN joe guess" + std::to_string(i) + "\r\n";
  packet += "NOOP\r\n";
  m_session->OnReceivedText(packet);
  // Only the first guess is taken up, and it is not answered yet.
  EXPECT_EQ(m_session->lines.size(), 1u);
  EXPECT_TRUE(m_conn->replies.empty());
  EXPECT_EQ(m_conn->delays, (std::vector<unsigned>{1000}));

  // Each delay's end sends its reply, then the next guess starts the next.
  for (int ended = 1; m_session->IsDelayed(); ++ended) {
    m_session->EndDelay();
    EXPECT_EQ(m_conn->replies.size(), static_cast<std::size_t>(ended));
  }
  EXPECT_EQ(m_conn->delays, (std::vector<unsigned>{1000, 2000, 4000, 8000, 8000}));
  EXPECT_EQ(m_conn->replies,
            (std::vector<std::string>{"NO failed", "NO failed", "NO failed", "NO failed", "BYE too many"}));
  EXPECT_EQ(m_session->lines.size(), 5u) << "nothing after the fifth failure is taken up";
  EXPECT_TRUE(m_conn->closed);
  EXPECT_GE(m_conn->quits, 1);
}

TEST_F(LoginLimits, SuccessIsNeverDelayedAndWaitingLinesFollowTheDelay) {
  Connect("127.0.0.1");
  m_session->OnReceivedText("LOGIN joe wrong\r\nNOOP\r\nLOGIN joe SECRET\r\n");
  EXPECT_EQ(m_session->lines.size(), 1u);
  m_session->EndDelay();
  EXPECT_EQ(m_conn->replies, (std::vector<std::string>{"NO failed", "OK NOOP", "OK logged in"}));
  EXPECT_EQ(m_conn->delays.size(), 1u);
  EXPECT_FALSE(m_session->IsDelayed());
}

TEST_F(LoginLimits, AnAddressWithTooManyFailuresIsLockedOutForTenMinutes) {
  // 21 failures over five connections: the 21st starts the lockout.
  int failures = 0;
  while (failures < CLoginFailures::kMaxFailures + 1) {
    Connect("127.0.0.9");
    for (int i = 0; i < CSessionSocket::kMaxLoginFailures - 1 && failures <= CLoginFailures::kMaxFailures; ++i) {
      ASSERT_EQ(Login("wrong"), "NO failed");
      ++failures;
      m_server.m_nNow += 10;
    }
  }
  EXPECT_EQ(m_server.m_nLockouts, 1);

  struct Case {
    const char* label;
    const char* peer;
    std::int64_t later;  // seconds after the lockout began
    const char* reply;
  };
  const Case cases[] = {
      {"the right password is refused unchecked", "127.0.0.9", 0, "NO failed"},
      {"another address logs in", "127.0.0.10", 0, "OK logged in"},
      {"still locked out a second before the end", "127.0.0.9", CLoginFailures::kLockSeconds - 1, "NO failed"},
      {"the lockout is over", "127.0.0.9", CLoginFailures::kLockSeconds, "OK logged in"},
  };
  const std::int64_t start = m_server.m_nNow - 10;
  for (const Case& c : cases) {
    m_server.m_nNow = start + c.later;
    Connect(c.peer);
    EXPECT_EQ(Login("secret"), c.reply) << c.label;
  }
  EXPECT_EQ(m_server.m_nLockouts, 1) << "refusals while locked out start no second lockout";
}

TEST(LoginFailures, CountsFailuresWithinTheWindowAndStaysBounded) {
  std::int64_t now = 0;
  CLoginFailures table([&now] { return now; });
  struct Case {
    const char* label;
    int failures;
    std::int64_t step;  // seconds between two failures
    bool locked;
  };
  const Case cases[] = {
      {"20 at once", 20, 0, false},
      {"21 at once", 21, 0, true},
      {"21 within the window", 21, (CLoginFailures::kWindowSeconds - 1) / 20, true},
      {"21 spread over the whole window", 21, CLoginFailures::kWindowSeconds / 20, false},
  };
  int lockouts = 0;
  for (const Case& c : cases) {
    const std::string address = c.label;
    for (int i = 0; i < c.failures; ++i, now += c.step) {
      if (table.RecordFailure(address)) ++lockouts;
    }
    EXPECT_EQ(table.IsLocked(address), c.locked) << c.label;
    now += CLoginFailures::kWindowSeconds + CLoginFailures::kLockSeconds;  // the next case starts afresh
  }
  EXPECT_EQ(lockouts, 2);

  // Many addresses: the table stays bounded and a locked-out one stays.
  now += 1;
  for (int i = 0; i < CLoginFailures::kMaxFailures + 1; ++i) table.RecordFailure("10.0.0.1");
  ASSERT_TRUE(table.IsLocked("10.0.0.1"));
  for (int i = 0; i < static_cast<int>(CLoginFailures::kMaxAddresses) + 500; ++i) {
    table.RecordFailure("10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250));
  }
  EXPECT_LE(table.Size(), CLoginFailures::kMaxAddresses);
  EXPECT_TRUE(table.IsLocked("10.0.0.1"));
}

}  // namespace
