// A POP3 session without a socket: CPop3Socket driven with lines through a
// recording connection (replies, log lines, close and quit), against a
// CMailServer object that is not running, with accounts and a mail folder
// made in a temporary folder for each test.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "pop3/pop3_socket.h"
#include "service/mail_server.h"

namespace pop3_test {

namespace fs = std::filesystem;

// The connection thread and socket of one session, recording what the
// session does with them.
class FakeConnection : public CConnectionContext, public SessionTransport {
 public:
  explicit FakeConnection(CMailServer* server) : m_pServer(server) {}

  // CConnectionContext
  void Log(std::string_view text) override { log.emplace_back(text); }
  void TouchActivity() override { ++touches; }
  void PostQuit() override { ++quits; }
  void PostDeliver(const std::string&) override {}
  CServerLink* Server() override { return m_pServer; }
  const std::string& PeerAddress() const override { return m_strPeer; }

  // SessionTransport
  bool IsConnectionLost() override { return lost; }
  bool SendAll(std::string_view bytes) override {
    if (fail_send || (fail_after >= 0 && sends >= fail_after)) return false;
    sent.append(bytes);
    largest_send = std::max(largest_send, bytes.size());
    ++sends;
    return true;
  }
  void Close() override { closed = true; }

  std::vector<std::string> log;
  std::string sent;
  std::size_t largest_send = 0;
  int sends = 0;
  int touches = 0;
  int quits = 0;
  bool closed = false;
  bool lost = false;
  bool fail_send = false;
  int fail_after = -1;  // sends that succeed before every further one fails

 private:
  CMailServer* m_pServer;
  std::string m_strPeer = "127.0.0.1";
};

inline void WriteFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A temporary mail folder with accounts bob/secret and alice/wonder.
class Pop3Test : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    for (;;) {
      m_root = fs::temp_directory_path() / ("qp-test-pop3-" + std::to_string(random()));
      if (fs::create_directory(m_root)) break;
    }
    setenv("QUILLPOST_HOME", (m_root / "home").c_str(), 1);
    m_mail = m_root / "Mail";
    fs::create_directories(m_mail / "bob");
    m_server.SetMailFolder(m_mail.string() + "/");
    m_server.m_arrAccounts = {{"bob", "Bob", "secret"}, {"alice", "Alice", "wonder"}};
    m_session.Attach(&m_conn, &m_conn);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(m_root, ignored);
  }

  // Sends one command line and returns every byte the session sent for it.
  std::string Say(const std::string& line) {
    m_conn.sent.clear();
    m_session.OnReceivedText(line + "\r\n");
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
      if (m_session.m_arrMessages[i].m_strPath == SessionPath(file))
        return static_cast<int>(i + 1);
    }
    return 0;
  }
  bool Logged(const std::string& line) const {
    return std::find(m_conn.log.begin(), m_conn.log.end(), line) != m_conn.log.end();
  }

  fs::path m_root;
  fs::path m_mail;
  CMailServer m_server;
  FakeConnection m_conn{&m_server};
  CPop3Socket m_session;
};

}  // namespace pop3_test
