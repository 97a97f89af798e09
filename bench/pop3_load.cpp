// pop3_load: the POP3 load client of the benchmarks in this folder (loopback
// only). Each client logs in to its own mailbox and, one command at a time
// as a mail program does, fetches (RETR) and marks (DELE) every message, then
// QUITs so that the server deletes them.
//
//   pop3_load drain PORT PASSWORD USER [USER ...]
//       one client per user, all at once; prints messages per second over
//       the whole run (first RETR to the last QUIT reply).
//   pop3_load fetch PORT USER PASSWORD N
//       fetches message N once and prints its size and the time taken.
//   pop3_load bigbox PORT USER PASSWORD
//       times login (connect to the "+OK" of PASS) with STAT, UIDL and one
//       RETR on a large mailbox, prints them, then holds the session open
//       (so that the caller can read the server's memory) until a line
//       arrives on standard input, and QUITs without deleting anything.
//
// Prints one line "RESULT key=value ..." for the calling script; exits 1 when
// any reply was not the expected one.
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

constexpr int kReplyTimeoutSeconds = 60;
constexpr std::size_t kReadChunk = 256 * 1024;

class Connection {
 public:
  explicit Connection(int port) : fd_(ConnectLoopback(port, kReplyTimeoutSeconds)) {}
  ~Connection() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  bool Send(const std::string& line) {
    const std::string wire = line + "\r\n";
    return ::send(fd_, wire.data(), wire.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(wire.size());
  }
  // One reply line (without CR LF); false on error.
  bool ReadLine(std::string& line) {
    std::size_t end;
    while ((end = buffer_.find("\r\n")) == std::string::npos) {
      if (!Fill()) return false;
    }
    line = buffer_.substr(0, end);
    buffer_.erase(0, end + 2);
    return true;
  }
  // The rest of a multi-line reply up to CR LF "." CR LF (the body is not
  // byte-stuffed, so the test messages hold no such line); returns the
  // length of the body before the final "." line, or -1.
  long long ReadUntilDotLine() {
    long long total = 0;
    for (;;) {
      const std::size_t end = buffer_.find("\r\n.\r\n");
      if (end != std::string::npos) {
        total += static_cast<long long>(end) + 2;
        buffer_.erase(0, end + 5);
        return total;
      }
      // Keep the last bytes that may start the terminator.
      if (buffer_.size() > 4) {
        total += static_cast<long long>(buffer_.size() - 4);
        buffer_.erase(0, buffer_.size() - 4);
      }
      if (!Fill()) return -1;
    }
  }

 private:
  bool Fill() {
    char chunk[kReadChunk];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
  }
  int fd_ = -1;
  std::string buffer_;
};

bool Expect(Connection& c, const char* command, const std::string& line) {
  std::string reply;
  if (!line.empty() && !c.Send(line)) return false;
  if (!c.ReadLine(reply)) return false;
  if (reply.rfind("+OK", 0) != 0) {
    std::fprintf(stderr, "%s: %s\n", command, reply.c_str());
    return false;
  }
  return true;
}

bool Login(Connection& c, const std::string& user, const std::string& password) {
  return c.ok() && Expect(c, "greeting", "") && Expect(c, "USER", "USER " + user) &&
         Expect(c, "PASS", "PASS " + password);
}

// Count of messages from STAT, or -1.
int Stat(Connection& c) {
  std::string reply;
  if (!c.Send("STAT") || !c.ReadLine(reply) || reply.rfind("+OK ", 0) != 0) return -1;
  return std::atoi(reply.c_str() + 4);
}

struct DrainResult {
  long messages = 0;
  long long bytes = 0;
  bool ok = false;
};

DrainResult Drain(int port, const std::string& user, const std::string& password) {
  DrainResult result;
  Connection c(port);
  if (!Login(c, user, password)) return result;
  const int count = Stat(c);
  if (count < 0) return result;
  for (int n = 1; n <= count; ++n) {
    if (!Expect(c, "RETR", "RETR " + std::to_string(n))) return result;
    const long long body = c.ReadUntilDotLine();
    if (body < 0) return result;
    result.bytes += body;
    if (!Expect(c, "DELE", "DELE " + std::to_string(n))) return result;
    ++result.messages;
  }
  result.ok = Expect(c, "QUIT", "QUIT");
  return result;
}

int RunDrain(int port, const std::string& password, const std::vector<std::string>& users) {
  std::vector<DrainResult> results(users.size());
  std::vector<std::thread> threads;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < users.size(); ++i)
    threads.emplace_back([&, i] { results[i] = Drain(port, users[i], password); });
  for (auto& t : threads) t.join();
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  long messages = 0;
  long long bytes = 0;
  bool ok = true;
  for (const DrainResult& r : results) {
    messages += r.messages;
    bytes += r.bytes;
    ok = ok && r.ok;
  }
  std::printf("RESULT mode=drain clients=%zu messages=%ld bytes=%lld seconds=%.3f msg_per_s=%.0f ok=%d\n",
              users.size(), messages, bytes, elapsed, messages / elapsed, ok ? 1 : 0);
  return ok ? 0 : 1;
}

int RunFetch(int port, const std::string& user, const std::string& password, int n) {
  Connection c(port);
  const auto start = std::chrono::steady_clock::now();
  bool ok = Login(c, user, password) && Expect(c, "RETR", "RETR " + std::to_string(n));
  const long long body = ok ? c.ReadUntilDotLine() : -1;
  ok = ok && body >= 0 && Expect(c, "QUIT", "QUIT");
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("RESULT mode=fetch bytes=%lld seconds=%.3f mib_per_s=%.0f ok=%d\n", body, elapsed,
              body / elapsed / (1 << 20), ok ? 1 : 0);
  return ok ? 0 : 1;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int RunBigBox(int port, const std::string& user, const std::string& password) {
  auto start = std::chrono::steady_clock::now();
  Connection c(port);
  int count = Login(c, user, password) ? Stat(c) : -1;
  const double login_stat = SecondsSince(start);
  bool ok = count >= 0;
  start = std::chrono::steady_clock::now();
  ok = ok && Expect(c, "UIDL", "UIDL") && c.ReadUntilDotLine() >= 0;
  const double uidl = SecondsSince(start);
  start = std::chrono::steady_clock::now();
  ok = ok && count > 0 && Expect(c, "RETR", "RETR " + std::to_string(count)) && c.ReadUntilDotLine() >= 0;
  const double retr = SecondsSince(start);
  std::printf("RESULT mode=bigbox messages=%d login_stat_s=%.3f uidl_s=%.3f retr_s=%.4f ok=%d\n", count,
              login_stat, uidl, retr, ok ? 1 : 0);
  std::fflush(stdout);
  char line[16];
  if (std::fgets(line, sizeof line, stdin) == nullptr) {
    // The caller is gone: quit all the same.
  }
  ok = ok && Expect(c, "QUIT", "QUIT");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::strcmp(argv[1], "drain") == 0) {
    return RunDrain(std::atoi(argv[2]), argv[3], std::vector<std::string>(argv + 4, argv + argc));
  }
  if (argc == 6 && std::strcmp(argv[1], "fetch") == 0)
    return RunFetch(std::atoi(argv[2]), argv[3], argv[4], std::atoi(argv[5]));
  if (argc == 5 && std::strcmp(argv[1], "bigbox") == 0) return RunBigBox(std::atoi(argv[2]), argv[3], argv[4]);
  std::fprintf(stderr,
               "usage: pop3_load drain PORT PASSWORD USER [USER ...]\n"
               "       pop3_load fetch PORT USER PASSWORD N\n"
               "       pop3_load bigbox PORT USER PASSWORD\n");
  return 2;
}
