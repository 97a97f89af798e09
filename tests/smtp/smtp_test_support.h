// What the SMTP unit tests share: a connection without a socket that records
// what the session sends, logs and posts; a mail folder of its own in a
// temporary state root; and a CMailServer object that is never run.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "net/session_socket.h"
#include "service/mail_server.h"
#include "smtp/smtp_socket.h"

// The temporary state root of this test program (QUILLPOST_HOME).
const std::filesystem::path& SmtpTestHome();

// The connection thread's side of a session, recorded.
class FakeConnection : public CConnectionContext, public SessionTransport {
 public:
  // CConnectionContext
  void Log(std::string_view text) override { log.emplace_back(text); }
  void TouchActivity() override { ++touches; }
  void PostQuit() override { quit = true; }
  void PostDeliver(const std::string& path) override { delivered.push_back(path); }
  CServerLink* Server() override { return server; }
  const std::string& PeerAddress() const override { return peer; }

  // SessionTransport
  bool IsConnectionLost() override { return closed; }
  bool SendAll(std::string_view bytes) override;
  void Close() override { closed = true; }

  // Replies sent, each without its final CR LF.
  std::vector<std::string> replies;
  std::vector<std::string> log;
  std::vector<std::string> delivered;
  int touches = 0;
  bool quit = false;
  bool closed = false;
  CMailServer* server = nullptr;
  std::string peer = "127.0.0.1";
};

// Reads a whole file (empty when missing).
std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, std::string_view bytes);
// Names of the regular files in a folder, sorted (empty when missing).
std::vector<std::string> FilesIn(const std::filesystem::path& folder);

// A server with one mail folder, accounts joe/secret and ann/pw2 and the
// local domain "d1.test".
class MailFolderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path Folder(std::string_view name) const { return m_mailFolder / std::string(name); }
  // Sends the trace log of the server to a file, at level Debug.
  void EnableLog();
  std::string LogText() const { return ReadFileBytes(m_logPath); }

  std::filesystem::path m_root;        // removed after the test
  std::filesystem::path m_mailFolder;  // <root>/Mailboxes
  std::filesystem::path m_logPath;
  std::unique_ptr<CMailServer> m_server;
};

// A session attached to a FakeConnection, fed like the connection thread
// feeds it: reads of at most 4096 bytes, or one byte per read.
class SmtpSessionTest : public MailFolderTest {
 protected:
  void SetUp() override;
  // Feeds text and returns the replies it produced.
  std::vector<std::string> Feed(std::string_view text, bool byte_by_byte = false);
  // Sends each line followed by CR LF in its own read; returns the replies.
  std::vector<std::string> Lines(std::initializer_list<std::string_view> lines);
  // EHLO, MAIL, the RCPTs and DATA, each expected to succeed.
  void StartMessage(std::string_view from, std::initializer_list<std::string_view> recipients);

  FakeConnection m_conn;
  std::unique_ptr<CSmtpSocket> m_session;
};
