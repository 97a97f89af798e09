// What the relay thread's tests share: loopback peers (a small SMTP
// receiver on port 25 of a 127.x.y.z address, since the relay always talks
// to port 25, and a DNS server on port 53 that answers every query with
// fixed MX records), each on a thread of its own recording what it was
// sent, and a fixture with a mail folder, a relay thread object whose work
// the test calls directly, and the log lines it posted. Binding the low
// ports needs root; the tests that need them skip themselves otherwise.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/dns_test_wire.h"
#include "common/text.h"
#include "platform/messages.h"
#include "relay/relay_thread.h"
#include "relay/relay_thread_impl.h"
#include "service/mail_server.h"

// Reaches the work of a relay thread object without starting it.
struct RelayThreadTestAccess {
  static CRelayThread::Impl& Impl(CRelayThread& thread) { return *thread.m_pImpl; }
};

namespace relaytest {

inline std::uint64_t NowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

// A socket of `type` bound to ip:port (SO_REUSEADDR); -1 on failure.
inline int BindLoopback(int type, const std::string& ip, int port) {
  const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, ip.c_str(), &addr.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      (type == SOCK_STREAM && ::listen(fd, 8) != 0)) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Polls fd for reading in slices, so that `stop` ends the wait.
inline bool WaitReadable(int fd, int timeout_ms, const std::atomic<bool>& stop) {
  for (int waited = 0; waited < timeout_ms && !stop; waited += 50) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) return true;
  }
  return false;
}

class FakeSmtpServer {
 public:
  struct Transaction {
    std::string strMailFrom;
    std::vector<std::string> arrRcpt;
    std::string strData;  // between the 354 and the terminating "." line
    std::uint64_t nAcceptedMs = 0;
  };

  // Recipients (as in "RCPT TO: <...>") answered 550.
  std::set<std::string> m_setReject;
  // Delay before the 250 that accepts the message text.
  int m_nDataDelayMs = 0;

  ~FakeSmtpServer() { Stop(); }

  bool Start(const std::string& ip) {
    m_fd = BindLoopback(SOCK_STREAM, ip, 25);
    if (m_fd < 0) return false;
    m_thread = std::thread([this] { Serve(); });
    return true;
  }
  void Stop() {
    m_bStop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }

  std::vector<Transaction> Transactions() {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_arrTransactions;
  }
  int Connections() const { return m_nConnections; }
  // The first time a client connected (0 before).
  std::uint64_t FirstConnectMs() const { return m_nFirstConnectMs; }

 private:
  void Serve() {
    while (!m_bStop) {
      if (!WaitReadable(m_fd, 100, m_bStop)) continue;
      const int client = ::accept(m_fd, nullptr, nullptr);
      if (client < 0) continue;
      if (m_nFirstConnectMs == 0) m_nFirstConnectMs = NowMs();
      ++m_nConnections;
      Session(client);
      ::close(client);
    }
  }

  bool Send(int fd, const std::string& line) {
    const std::string out = line + "\r\n";
    return ::send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size());
  }

  // One line without its CR LF; false when the peer closed or went quiet.
  bool ReadLine(int fd, std::string& buffer, std::string& line) {
    for (;;) {
      const std::size_t end = buffer.find("\r\n");
      if (end != std::string::npos) {
        line = buffer.substr(0, end);
        buffer.erase(0, end + 2);
        return true;
      }
      if (!WaitReadable(fd, 15000, m_bStop)) return false;
      char chunk[4096];
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
  }

  void Session(int fd) {
    std::string buffer, line;
    Transaction transaction;
    if (!Send(fd, "220 fake.test ESMTP")) return;
    while (ReadLine(fd, buffer, line)) {
      const std::string verb = line.substr(0, 4);
      if (verb == "HELO" || verb == "EHLO") {
        Send(fd, "250 fake.test");
      } else if (verb == "MAIL") {
        transaction = Transaction{};
        transaction.strMailFrom = line.substr(line.find(':') + 1);
        Send(fd, "250 OK");
      } else if (verb == "RCPT") {
        std::string rcpt = line.substr(line.find(':') + 1);
        while (!rcpt.empty() && rcpt.front() == ' ') rcpt.erase(0, 1);
        if (m_setReject.count(rcpt)) {
          Send(fd, "550 No such user here");
          continue;
        }
        transaction.arrRcpt.push_back(rcpt);
        Send(fd, "250 OK");
      } else if (verb == "DATA") {
        Send(fd, "354 Go ahead");
        std::string data;
        while (ReadLine(fd, buffer, line) && line != ".") data += line + "\r\n";
        if (m_nDataDelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(m_nDataDelayMs));
        transaction.strData = data;
        transaction.nAcceptedMs = NowMs();
        {
          std::lock_guard<std::mutex> lock(m_Lock);
          m_arrTransactions.push_back(transaction);
        }
        Send(fd, "250 OK: accepted");
      } else if (verb == "QUIT") {
        Send(fd, "221 Bye");
        return;
      } else {
        Send(fd, "502 Command not implemented");
      }
    }
  }

  int m_fd = -1;
  std::thread m_thread;
  std::atomic<bool> m_bStop{false};
  std::atomic<int> m_nConnections{0};
  std::atomic<std::uint64_t> m_nFirstConnectMs{0};
  std::mutex m_Lock;
  std::vector<Transaction> m_arrTransactions;
};

// Answers every query with the same MX records, in the order given.
class FakeDnsServer {
 public:
  struct Mx {
    std::uint16_t wPreference;
    std::string strExchange;
  };
  std::vector<Mx> m_arrAnswers;

  ~FakeDnsServer() { Stop(); }
  bool Start(const std::string& ip) {
    m_fd = BindLoopback(SOCK_DGRAM, ip, 53);
    if (m_fd < 0) return false;
    m_thread = std::thread([this] { Serve(); });
    return true;
  }
  void Stop() {
    m_bStop = true;
    if (m_thread.joinable()) m_thread.join();
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
  }
  int Queries() const { return m_nQueries; }

 private:
  void Serve() {
    while (!m_bStop) {
      if (!WaitReadable(m_fd, 100, m_bStop)) continue;
      std::uint8_t query[512];
      sockaddr_in from{};
      socklen_t from_size = sizeof from;
      const ssize_t n = ::recvfrom(m_fd, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &from_size);
      if (n < 12) continue;
      ++m_nQueries;
      // The question runs from byte 12 to the end of the query.
      const dnstest::Bytes question(query + 12, query + n);
      dnstest::Wire reply;
      reply.Header(dnstest::kReplyAuthoritative, 1, static_cast<std::uint16_t>(m_arrAnswers.size()), 0, 0,
                   static_cast<std::uint16_t>(query[0] << 8 | query[1]));
      reply.Add(question);
      for (const Mx& mx : m_arrAnswers) {
        reply.Record(dnstest::Ptr(dnstest::kQuestionNameOffset), 15,
                     dnstest::MxData(mx.wPreference, dnstest::Name(mx.strExchange)));
      }
      ::sendto(m_fd, reply.b.data(), reply.b.size(), 0, reinterpret_cast<sockaddr*>(&from), from_size);
    }
  }

  int m_fd = -1;
  std::thread m_thread;
  std::atomic<bool> m_bStop{false};
  std::atomic<int> m_nQueries{0};
};

namespace fs = std::filesystem;

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline void WriteFile(const fs::path& path, const std::string& data) {
  std::ofstream(path, std::ios::binary) << data;
}

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
    char pattern[] = "/tmp/qp-relay-test-XXXXXX";
    m_root = ::mkdtemp(pattern);
    ::setenv("QUILLPOST_HOME", (m_root / "home").c_str(), 1);
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
      if (msg.id == WM_MAIL_LOG_TRACE) {
        std::lock_guard<std::mutex> lock(m_LogLock);
        m_arrLog.push_back(platform::TakeText(msg.wParam));
      }
      return 0;
    });
  }
  void TearDown() override {
    m_Relay.Stop();
    PumpLog();
    platform::MessageQueue::ForCurrentThread().SetHandler(nullptr);
    std::error_code ignored;
    fs::remove_all(m_root, ignored);
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
  fs::path BadMail(const std::string& name) const { return m_mail / "badmail" / name; }
  std::vector<std::string> FolderNames(const std::string& folder) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(m_mail / folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path m_root;
  fs::path m_mail;
  CRelayThread m_Relay;
  std::mutex m_LogLock;
  std::vector<std::string> m_arrLog;
};

// Starts a peer on ip or skips the test (no right to bind the low port).
#define START_PEER_OR_SKIP(peer, ip)                                          \
  do {                                                                        \
    if (!(peer).Start(ip)) GTEST_SKIP() << "cannot bind " << (ip) << " (needs root)"; \
  } while (0)

}  // namespace relaytest
