// The fixtures of the SMTP unit tests (see smtp_test_support.h).
#include "smtp_test_support.h"

#include "net/connection_thread.h"
#include "support/temp_home.h"

namespace fs = std::filesystem;

void MailFolderTest::SetUp() {
  m_root = NewTempFolder("case-", TestHome());
  m_mailFolder = m_root / "Mailboxes";
  fs::create_directories(m_mailFolder / "joe");
  fs::create_directories(m_mailFolder / "ann");
  m_server = std::make_unique<FakeServerLink>();
  // The trailing separator is how MailFolder is usually written.
  m_server->SetMailFolder(m_mailFolder.string() + "\\");
  m_server->m_arrAccounts = {{"joe", "Joe", "secret"}, {"ann", "Ann", "pw2"}};
}

void MailFolderTest::TearDown() {
  m_server.reset();
  std::error_code ignored;
  fs::remove_all(m_root, ignored);
}

void SmtpSessionTest::SetUp() {
  MailFolderTest::SetUp();
  m_conn.server = m_server.get();
  // Every reply goes out whole, with its CR LF.
  m_conn.on_send = [](std::string_view bytes) {
    EXPECT_GE(bytes.size(), 2u);
    EXPECT_TRUE(bytes.ends_with("\r\n")) << "reply without CR LF: " << bytes;
  };
  m_session = std::make_unique<CSmtpSocket>();
  m_session->m_arrDomains = {"d1.test"};
  m_session->Attach(&m_conn, &m_conn);
}

std::vector<std::string> SmtpSessionTest::Feed(std::string_view text, bool byte_by_byte) {
  const std::size_t before = m_conn.replies.size();
  const std::size_t chunk = byte_by_byte ? 1 : CConnectionThread::kReceiveChunk;
  for (std::size_t pos = 0; pos < text.size(); pos += chunk) {
    const std::string_view part = text.substr(pos, chunk);
    EXPECT_FALSE(m_session->WouldOverflow(part.size()));
    m_session->OnReceivedText(part);
    // The connection reads nothing more until a delay is over.
    if (m_bEndDelays) m_conn.EndDelays(*m_session);
  }
  return std::vector<std::string>(m_conn.replies.begin() + static_cast<std::ptrdiff_t>(before),
                                  m_conn.replies.end());
}

std::vector<std::string> SmtpSessionTest::Lines(std::initializer_list<std::string_view> lines) {
  std::vector<std::string> replies;
  for (std::string_view line : lines) {
    for (std::string& reply : Feed(std::string(line) + "\r\n")) replies.push_back(std::move(reply));
  }
  return replies;
}

void SmtpSessionTest::StartMessage(std::string_view from, std::initializer_list<std::string_view> recipients) {
  ASSERT_EQ(Lines({"EHLO client.test"}).size(), 1u);
  ASSERT_EQ(Lines({"MAIL FROM:" + std::string(from)}), std::vector<std::string>{"250 OK"});
  for (std::string_view to : recipients) {
    ASSERT_EQ(Lines({"RCPT TO:" + std::string(to)}), std::vector<std::string>{"250 OK"}) << to;
  }
  ASSERT_EQ(Lines({"DATA"}), std::vector<std::string>{"354 End with <CRLF>.<CRLF>"});
}
