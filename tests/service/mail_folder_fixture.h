// A server object that is never run, with a mail folder of its own in the
// program's state root (mailbox folders joe and ann), accounts joe/secret
// and ann/pw2 and the local domain "d1.test": what the delivery tests drive.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "service/mail_server.h"
#include "support/files.h"
#include "support/temp_home.h"

class MailFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_root = NewTempFolder("case-", TestHome());
    m_mailFolder = m_root / "Mailboxes";
    std::filesystem::create_directories(m_mailFolder / "joe");
    std::filesystem::create_directories(m_mailFolder / "ann");
    m_logPath = m_root / "Mailtrace.log";
    m_server = std::make_unique<CMailServer>();
    // The trailing separator is how MailFolder is usually written.
    m_server->SetMailFolder(m_mailFolder.string() + "\\");
    m_server->m_arrDomains = {"d1.test"};
    m_server->m_arrAccounts = {{"joe", "Joe", "secret"}, {"ann", "Ann", "pw2"}};
  }
  void TearDown() override {
    m_server.reset();
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
  }
  std::filesystem::path Folder(std::string_view name) const { return m_mailFolder / std::string(name); }
  // Sends the trace log of the server to a file, at level Debug.
  void EnableLog() {
    m_server->m_nLogLevel = LOG_DEBUG;
    m_server->m_LogFile.m_bEnabled = true;
    ASSERT_TRUE(m_server->m_LogFile.Open(m_logPath.string()));
  }
  std::string LogText() const { return ReadFileBytes(m_logPath); }

  std::filesystem::path m_root;        // removed after the test
  std::filesystem::path m_mailFolder;  // <root>/Mailboxes
  std::filesystem::path m_logPath;
  std::unique_ptr<CMailServer> m_server;
};
