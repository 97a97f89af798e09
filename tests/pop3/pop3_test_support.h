// A POP3 session without a socket: CPop3Socket driven with lines through the
// recording connection (replies, log lines, close and quit), against a server
// link with accounts and a mail folder made in a temporary folder for each
// test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "pop3/pop3_socket.h"
#include "support/fake_connection.h"
#include "support/fake_server_link.h"
#include "support/files.h"
#include "support/temp_home.h"

namespace pop3_test {

namespace fs = std::filesystem;

// A temporary mail folder with accounts bob/secret and alice/wonder.
class Pop3Test : public ::testing::Test {
 protected:
  void SetUp() override {
    m_mail = m_root / "Mail";
    fs::create_directories(m_mail / "bob");
    m_server.SetMailFolder(m_mail.string() + "/");
    m_server.m_arrAccounts = {{"bob", "Bob", "secret"}, {"alice", "Alice", "wonder"}};
    m_session.Attach(&m_conn, &m_conn);
  }
  // Sends one command line and returns every byte the session sent for it.
  std::string Say(const std::string& line) {
    m_conn.sent.clear();
    m_session.OnReceivedText(line + "\r\n");
    m_conn.EndDelays(m_session);  // a failed login's delay passes at once
    return m_conn.sent;
  }
  // Logs in as bob (the reply is checked).
  void LoginBob() {
    ASSERT_EQ(Say("USER bob"), "+OK\r\n");
    ASSERT_EQ(Say("PASS secret"), "+OK authentication successful\r\n");
  }
  fs::path Mailbox(const std::string& user = "bob") const { return m_mail / user; }
  // The path text the session keeps for a file of bob's mailbox.
  std::string SessionPath(const std::string& file) const {
    return m_mail.string() + "\\bob\\" + file;
  }
  // The message number the session gave to a file of the mailbox (0: none);
  // numbers follow the folder listing, whose order is the file system's.
  int NumberOf(const std::string& file) const {
    for (std::size_t i = 0; i < m_session.m_arrMessages.size(); ++i) {
      if (m_session.m_arrMessages.Path(i) == SessionPath(file))
        return static_cast<int>(i + 1);
    }
    return 0;
  }
  bool Logged(const std::string& line) const {
    return std::find(m_conn.log.begin(), m_conn.log.end(), line) != m_conn.log.end();
  }

  TempHome m_home{"qp-test-pop3-"};
  fs::path m_root{m_home.path()};
  fs::path m_mail;
  FakeServerLink m_server;
  FakeConnection m_conn{&m_server};
  CPop3Socket m_session;
};

}  // namespace pop3_test
