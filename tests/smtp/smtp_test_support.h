// What the SMTP unit tests share: a mail folder of their own in the
// program's state root, a server link with accounts joe/secret and ann/pw2,
// and a session attached to the recording connection.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "smtp/smtp_socket.h"
#include "support/fake_connection.h"
#include "support/fake_server_link.h"
#include "support/files.h"

// A mail folder with the mailbox folders joe and ann; the local domain is
// "d1.test".
class MailFolderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path Folder(std::string_view name) const { return m_mailFolder / std::string(name); }

  std::filesystem::path m_root;        // removed after the test
  std::filesystem::path m_mailFolder;  // <root>/Mailboxes
  std::unique_ptr<FakeServerLink> m_server;
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
  // Feed lets every delay pass at once (a test that looks at them clears it).
  bool m_bEndDelays = true;
};
