// qpload: a load client for the benchmarks in this folder (loopback only).
//
//   qpload conn PORT WORKERS SECONDS
//       each worker connects, reads the greeting, sends QUIT, reads the reply
//       and closes, as fast as it can; prints connections per second.
//
// Prints one line "RESULT key=value ..." for the calling script.
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

constexpr int kReplyTimeoutSeconds = 10;


// Reads until a line end arrives; false on error or time-out.
bool ReadLine(int fd) {
  char buffer[512];
  std::string got;
  while (got.find('\n') == std::string::npos) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    got.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

int RunConn(int port, int workers, int seconds) {
  std::atomic<long> done{0}, failed{0};
  const auto stop_at = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w) {
    threads.emplace_back([&] {
      while (std::chrono::steady_clock::now() < stop_at) {
        const int fd = ConnectLoopback(port, kReplyTimeoutSeconds);
        bool ok = fd >= 0 && ReadLine(fd) && ::send(fd, "QUIT\r\n", 6, MSG_NOSIGNAL) == 6 && ReadLine(fd);
        if (fd >= 0) ::close(fd);
        (ok ? done : failed)++;
      }
    });
  }
  const auto start = std::chrono::steady_clock::now();
  for (auto& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("RESULT mode=conn workers=%d seconds=%.2f connections=%ld failed=%ld conn_per_s=%.0f\n", workers,
              elapsed, done.load(), failed.load(), done.load() / elapsed);
  return failed.load() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "conn") == 0)
    return RunConn(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
  std::fprintf(stderr, "usage: qpload conn PORT WORKERS SECONDS\n");
  return 2;
}
