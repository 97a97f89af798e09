// The fake SMTP receiver of the relay tests (see fake_smtp_server.h).
#include "fake_smtp_server.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "loopback.h"

bool FakeSmtpServer::Start(const std::string& ip) {
  m_fd = BindLoopback(SOCK_STREAM, ip, 25);
  if (m_fd < 0) return false;
  m_thread = std::thread([this] { Serve(); });
  return true;
}

void FakeSmtpServer::Stop() {
  m_bStop = true;
  if (m_thread.joinable()) m_thread.join();
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

std::vector<FakeSmtpServer::Transaction> FakeSmtpServer::Transactions() {
  std::lock_guard<std::mutex> lock(m_Lock);
  return m_arrTransactions;
}

void FakeSmtpServer::Serve() {
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

bool FakeSmtpServer::Send(int fd, const std::string& line) {
  const std::string out = line + "\r\n";
  return ::send(fd, out.data(), out.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(out.size());
}

bool FakeSmtpServer::ReadLine(int fd, std::string& buffer, std::string& line) {
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

void FakeSmtpServer::Session(int fd) {
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
      if (m_strDataReply.empty()) return;
      Send(fd, m_strDataReply);
    } else if (verb == "QUIT") {
      Send(fd, "221 Bye");
      return;
    } else {
      Send(fd, "502 Command not implemented");
    }
  }
}
