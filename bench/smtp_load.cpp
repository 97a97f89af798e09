// smtp_load: the SMTP load client of bench/smtp_bench.py (loopback only).
//
//   smtp_load PORT CONNECTIONS MESSAGES RECIPIENT SIZE
//
// CONNECTIONS workers share MESSAGES messages of SIZE bytes to RECIPIENT;
// each message has a connection of its own and goes as an ordinary client
// sends it: greeting, HELO, MAIL, RCPT, DATA, the text, QUIT, each waiting
// for its reply (any "250" takes the message: the peer servers word it
// their own way). Prints "RESULT start=<epoch s> end=<epoch s> sent=<n>" with
// the wall-clock times of the first connect and of the last "250" reply.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "loopback_client.h"

namespace {

constexpr int kReplyTimeoutSeconds = 30;

double Now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

class Connection {
 public:
  explicit Connection(int port) : fd_(ConnectLoopback(port, kReplyTimeoutSeconds)) {}
  ~Connection() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  // The last line of the next reply (continuation lines skipped).
  bool Reply(std::string& line) {
    for (;;) {
      const std::size_t end = pending_.find("\r\n");
      if (end != std::string::npos) {
        line = pending_.substr(0, end);
        pending_.erase(0, end + 2);
        if (line.size() >= 4 && line[3] == '-') continue;
        return true;
      }
      char buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }
  bool Send(const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  bool Command(const std::string& data, const char* expect) {
    std::string line;
    if (!Send(data) || !Reply(line)) return false;
    if (line.compare(0, std::strlen(expect), expect) != 0) {
      std::fprintf(stderr, "expected %s, got %s\n", expect, line.c_str());
      return false;
    }
    return true;
  }

 private:
  int fd_ = -1;
  std::string pending_;
};

std::string MessageText(int index, std::size_t size) {
  std::string text = "From: <bench@d1.test>\r\nTo: <user@d1.test>\r\nSubject: bench " +
                     std::to_string(index) + "\r\n\r\n";
  const std::string line = "The quick brown fox jumps over the lazy dog, again and again.\r\n";
  while (text.size() + line.size() <= size) text += line;
  if (text.size() + 2 < size) text += std::string(size - text.size() - 2, 'x') + "\r\n";
  return text + ".\r\n";
}

bool SendOne(int port, const std::string& rcpt, const std::string& text) {
  Connection c(port);
  std::string line;
  if (!c.ok() || !c.Reply(line) || line.compare(0, 3, "220") != 0) return false;
  return c.Command("HELO bench.client\r\n", "250") && c.Command("MAIL FROM:<bench@d1.test>\r\n", "250") &&
         c.Command(rcpt, "250") && c.Command("DATA\r\n", "354") &&
         c.Command(text, "250") && c.Command("QUIT\r\n", "221");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: smtp_load PORT CONNECTIONS MESSAGES RECIPIENT SIZE\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int connections = std::atoi(argv[2]);
  const int messages = std::atoi(argv[3]);
  const std::string rcpt = std::string("RCPT TO:<") + argv[4] + ">\r\n";
  const std::size_t size = static_cast<std::size_t>(std::atol(argv[5]));

  std::atomic<int> next{0};
  std::atomic<int> sent{0};
  std::atomic<bool> failed{false};
  const double start = Now();
  std::vector<std::thread> workers;
  for (int w = 0; w < connections; ++w) {
    workers.emplace_back([&] {
      for (int i = next++; i < messages && !failed; i = next++) {
        if (SendOne(port, rcpt, MessageText(i, size))) {
          ++sent;
        } else {
          failed = true;
        }
      }
    });
  }
  for (std::thread& t : workers) t.join();
  const double end = Now();
  std::printf("RESULT start=%.6f end=%.6f sent=%d\n", start, end, sent.load());
  return failed ? 1 : 0;
}
