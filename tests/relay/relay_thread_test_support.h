// What the relay thread's tests share: the loopback peers of tests/support
// (an SMTP receiver on port 25 of a 127.x.y.z address, since the relay always
// talks to port 25, and a DNS server on port 53), and a fixture with a mail
// folder, a relay thread object whose work the test calls directly, and the
// log lines it posted. Binding the low ports needs root; the tests that need
// them skip themselves otherwise.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "common/text.h"
#include "net/server_link.h"
#include "platform/messages.h"
#include "relay/relay_thread.h"
#include "relay/relay_thread_impl.h"
#include "support/fake_dns_server.h"
#include "support/fake_smtp_server.h"
#include "support/files.h"
#include "support/loopback.h"
#include "support/temp_home.h"

// Reaches the work of a relay thread object without starting it.
struct RelayThreadTestAccess {
  static CRelayThread::Impl& Impl(CRelayThread& thread) { return *thread.m_pImpl; }
};

namespace relaytest {

namespace fs = std::filesystem;

// A queued file as local delivery leaves it: envelope, Received header, then
// the message as the client sent it (CR LF line ends, no final line end).
inline std::string QueuedFile(const std::vector<std::string>& recipients,
                              const std::string& body = "Subject: Test\r\nFrom: Alice <alice@local.test>\r\n\r\nHello.") {
  std::string file = "x-sender: <alice@local.test>\r\n";
  for (const std::string& recipient : recipients) file += "x-receiver: " + recipient + "\r\n";
  file += "Received: from client ([127.0.0.1]) by local.test with fake;\r\n\tMon, 01 Jan 2024 00:00:00 GMT\r\n";
  return file + body;
}

// A mail folder of its own (and a state root, for the registry the running
// thread reads), a relay thread object set up as the server core does it,
// and the log lines posted to this thread's queue.
class RelayFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    m_mail = m_root / "mail";
    fs::create_directories(m_mail / "queue");
    fs::create_directories(m_mail / "badmail");
    m_Relay.m_strQueueFolder = (m_mail / "queue").string() + "/";
    m_Relay.m_strBadMailFolder = (m_mail / "badmail").string() + "/";
    m_Relay.m_strHeloName = "relay.local.test";
    m_Relay.m_arrDomains = {"local.test"};
    m_Relay.m_nRelayTimeout = 5;
    m_Relay.m_hNotifyWindow = platform::CurrentThreadId();
    platform::MessageQueue::ForCurrentThread().SetHandler([this](const platform::Message& msg) -> LRESULT {
      if (msg.id == WM_MAIL_LOG_TRACE || msg.id == WM_MAIL_LOG_ERROR) {
        std::lock_guard<std::mutex> lock(m_LogLock);
        m_arrLog.push_back(platform::TakeText(msg.wParam));
        if (msg.id == WM_MAIL_LOG_ERROR) m_arrErrors.push_back(m_arrLog.back());
      }
      return 0;
    });
  }
  void TearDown() override {
    m_Relay.Stop();
    PumpLog();
    platform::MessageQueue::ForCurrentThread().SetHandler(nullptr);
  }

  // The work of the thread object (its type is private to it).
  auto& Work() { return RelayThreadTestAccess::Impl(m_Relay); }

  // Takes the log lines posted so far (they wait in this thread's queue).
  void PumpLog() {
    for (int i = 0; i < 1000; ++i) {
      const std::size_t before = LogSize();
      platform::MessageQueue::ForCurrentThread().PumpOnce(0);
      if (LogSize() == before) break;
    }
  }
  std::size_t LogSize() {
    std::lock_guard<std::mutex> lock(m_LogLock);
    return m_arrLog.size();
  }
  std::vector<std::string> Log() {
    PumpLog();
    std::lock_guard<std::mutex> lock(m_LogLock);
    return m_arrLog;
  }
  bool Logged(const std::string& line) {
    const std::vector<std::string> log = Log();
    return std::find(log.begin(), log.end(), line) != log.end();
  }
  // The lines posted at level Error (they are in Log() too).
  std::vector<std::string> Errors() {
    PumpLog();
    std::lock_guard<std::mutex> lock(m_LogLock);
    return m_arrErrors;
  }
  // Pumps the log until `predicate` holds or timeout_ms pass.
  template <typename Predicate>
  bool WaitFor(Predicate predicate, int timeout_ms) {
    const std::uint64_t end = NowMs() + static_cast<std::uint64_t>(timeout_ms);
    while (!predicate()) {
      if (NowMs() >= end) return false;
      platform::MessageQueue::ForCurrentThread().PumpOnce(10);
    }
    return true;
  }

  fs::path Queued(const std::string& name) const { return m_mail / "queue" / name; }
  // Puts a file into the queue whole, as local delivery does: written beside
  // it and renamed in, so that a running thread never reads it half-written.
  void Enqueue(const std::string& name, const std::string& contents) const {
    WriteFileBytes(m_root / name, contents);
    fs::rename(m_root / name, Queued(name));
  }
  fs::path BadMail(const std::string& name) const { return m_mail / "badmail" / name; }
  // The files (not folders) in a folder of the mail folder, sorted.
  std::vector<std::string> Files(const std::string& folder) const { return FilesIn(m_mail / folder); }

  TempHome m_home{"qp-relay-test-"};
  fs::path m_root{m_home.path()};
  fs::path m_mail;
  CRelayThread m_Relay;
  std::mutex m_LogLock;
  std::vector<std::string> m_arrLog;
  std::vector<std::string> m_arrErrors;
};

// Starts a peer on ip or skips the test (no right to bind the low port).
#define START_PEER_OR_SKIP(peer, ip)                                          \
  do {                                                                        \
    if (!(peer).Start(ip)) GTEST_SKIP() << "cannot bind " << (ip) << " (needs root)"; \
  } while (0)

}  // namespace relaytest
