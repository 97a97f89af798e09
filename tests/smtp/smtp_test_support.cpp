// The recorded connection, the temporary state root and the fixtures of the
// SMTP unit tests (see smtp_test_support.h).
#include "smtp_test_support.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "net/connection_thread.h"

namespace fs = std::filesystem;

namespace {

fs::path g_home;

fs::path NewTempFolder(const std::string& prefix) {
  std::random_device random;
  for (;;) {
    fs::path candidate = fs::temp_directory_path() / (prefix + std::to_string(random()));
    if (fs::create_directory(candidate)) return candidate;
  }
}

class HomeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_home = NewTempFolder("qp-test-smtp-");
    ASSERT_EQ(setenv("QUILLPOST_HOME", g_home.c_str(), 1), 0);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(g_home, ignored);
  }
};

[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new HomeEnvironment);

}  // namespace

const fs::path& SmtpTestHome() { return g_home; }

bool FakeConnection::SendAll(std::string_view bytes) {
  std::string reply(bytes);
  EXPECT_GE(reply.size(), 2u);
  EXPECT_EQ(reply.substr(reply.size() - 2), "\r\n") << "reply without CR LF: " << reply;
  reply.resize(reply.size() - 2);
  replies.push_back(std::move(reply));
  return true;
}

std::string ReadFileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFileBytes(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> FilesIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void MailFolderTest::SetUp() {
  m_root = NewTempFolder((SmtpTestHome() / "case-").string());
  m_mailFolder = m_root / "Mailboxes";
  fs::create_directories(m_mailFolder / "joe");
  fs::create_directories(m_mailFolder / "ann");
  m_logPath = m_root / "Mailtrace.log";
  m_server = std::make_unique<CMailServer>();
  // The trailing separator is how MailFolder is usually written.
  m_server->SetMailFolder(m_mailFolder.string() + "\\");
  m_server->m_arrDomains = {"d1.test"};
  m_server->m_arrAccounts = {{"joe", "Joe", "secret"}, {"ann", "Ann", "pw2"}};
}

void MailFolderTest::TearDown() {
  m_server.reset();
  std::error_code ignored;
  fs::remove_all(m_root, ignored);
}

void MailFolderTest::EnableLog() {
  m_server->m_nLogLevel = LOG_DEBUG;
  m_server->m_LogFile.m_bEnabled = true;
  ASSERT_TRUE(m_server->m_LogFile.Open(m_logPath.string()));
}

void SmtpSessionTest::SetUp() {
  MailFolderTest::SetUp();
  m_conn.server = m_server.get();
  m_session = std::make_unique<CSmtpSocket>();
  m_session->m_arrDomains = m_server->m_arrDomains;
  m_session->Attach(&m_conn, &m_conn);
}

std::vector<std::string> SmtpSessionTest::Feed(std::string_view text, bool byte_by_byte) {
  const std::size_t before = m_conn.replies.size();
  const std::size_t chunk = byte_by_byte ? 1 : CConnectionThread::kReceiveChunk;
  for (std::size_t pos = 0; pos < text.size(); pos += chunk) {
    const std::string_view part = text.substr(pos, chunk);
    EXPECT_FALSE(m_session->WouldOverflow(part.size()));
    m_session->OnReceivedText(part);
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
