// Raw loopback sockets of the fake peers (see loopback.h).
#include "loopback.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <set>

namespace {

// A peer on a fixed low port of a fixed address meets the same peer of a
// test run in another build folder of this machine: the first such bind in
// a /24 waits until no other process holds that network, then holds it
// until this process ends (the end test runs in Python hold it alike).
void HoldNetwork(const std::string& ip) {
  static std::mutex lock;
  static std::set<std::string> held;
  const std::string network = ip.substr(0, ip.rfind('.'));
  const std::lock_guard<std::mutex> guard(lock);
  if (held.count(network) != 0) return;
  const std::string path = "/tmp/quillpost-test-peers-" + network + ".lock";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return;  // nothing to wait for: the bind says whether the address is free
  while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  held.insert(network);  // the descriptor stays open: the kernel lets go at exit
}

}  // namespace

std::uint64_t NowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

int BindLoopback(int type, const std::string& ip, int port) {
  if (port > 0 && port < 1024) HoldNetwork(ip);
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

bool WaitReadable(int fd, int timeout_ms, const std::atomic<bool>& stop) {
  for (int waited = 0; waited < timeout_ms && !stop; waited += 50) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) return true;
  }
  return false;
}

void BreakListeningSocket(int fd) { ::shutdown(fd, SHUT_RDWR); }
