// A small SMTP receiver on port 25 of a loopback address (the relay always
// talks to port 25), on a thread of its own, recording each transaction it
// accepted. Binding the low port needs root.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

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
  // Delay before the reply to the message text.
  int m_nDataDelayMs = 0;
  // The reply to the message text; empty: the connection is closed instead
  // (the text is recorded all the same: the server has it).
  std::string m_strDataReply = "250 OK: accepted";

  ~FakeSmtpServer() { Stop(); }

  bool Start(const std::string& ip);
  void Stop();

  std::vector<Transaction> Transactions();
  int Connections() const { return m_nConnections; }
  // The first time a client connected (0 before).
  std::uint64_t FirstConnectMs() const { return m_nFirstConnectMs; }

 private:
  void Serve();
  bool Send(int fd, const std::string& line);
  // One line without its CR LF; false when the peer closed or went quiet.
  bool ReadLine(int fd, std::string& buffer, std::string& line);
  void Session(int fd);

  int m_fd = -1;
  std::thread m_thread;
  std::atomic<bool> m_bStop{false};
  std::atomic<int> m_nConnections{0};
  std::atomic<std::uint64_t> m_nFirstConnectMs{0};
  std::mutex m_Lock;
  std::vector<Transaction> m_arrTransactions;
};
