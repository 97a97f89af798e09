// IPv4 sockets on Linux with WinSock-style error codes.
#include "platform/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/sync.h"

namespace platform {
namespace {

thread_local int t_socket_error = 0;

int WsaFromErrno(int err) {
  switch (err) {
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEWOULDBLOCK;
    case EINTR: return WSAEINTR;
    case EINVAL: return WSAEINVAL;
    case EBADF:
    case ENOTSOCK: return WSAENOTSOCK;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EACCES: return WSAEACCES;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOTCONN: return WSAENOTCONN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
    default: return 10000 + err;
  }
}

void SetError(int err = errno) { t_socket_error = WsaFromErrno(err); }

// Above every error number Linux defines.
constexpr int kHighestErrno = 200;

bool ToSockAddr(std::string_view ip, int port, sockaddr_in& addr) {
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  const std::string text(ip);
  return ::inet_pton(AF_INET, text.c_str(), &addr.sin_addr) == 1;
}

// Connects a socket made non-blocking and waits for the outcome.
bool ConnectWithTimeout(int fd, const sockaddr_in& addr, DWORD timeout_ms) {
  int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (rc != 0 && errno != EINPROGRESS) {
    SetError();
    return false;
  }
  if (rc != 0) {
    pollfd p{fd, POLLOUT, 0};
    const std::uint64_t start = TickCountMs();
    for (;;) {
      const std::uint64_t elapsed = TickCountMs() - start;
      if (elapsed >= timeout_ms) {
        SetError(ETIMEDOUT);
        return false;
      }
      rc = ::poll(&p, 1, static_cast<int>(timeout_ms - elapsed));
      if (rc > 0) break;
      if (rc < 0 && errno != EINTR) {
        SetError();
        return false;
      }
    }
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
      SetError(err);
      return false;
    }
  }
  return true;
}

}  // namespace

int LastSocketError() { return t_socket_error; }

std::string SocketErrorText(int code) {
  // The codes are a mapping of error numbers: find the one that maps to
  // `code`, a named code before one that only has 10000 added.
  for (int err = 1; err <= kHighestErrno; ++err) {
    if (WsaFromErrno(err) == code && code != 10000 + err) return std::strerror(err);
  }
  if (code > 10000 && code - 10000 <= kHighestErrno) return std::strerror(code - 10000);
  return "Error " + std::to_string(code);
}

Socket::~Socket() { Close(); }
Socket::Socket(Socket&& other) noexcept : fd_(other.fd_), send_timeout_ms_(other.send_timeout_ms_) {
  other.fd_ = -1;
}
Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.fd_;
    send_timeout_ms_ = other.send_timeout_ms_;
    other.fd_ = -1;
  }
  return *this;
}

int Socket::Release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

void Socket::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Socket Socket::Listen(int port, int backlog, std::string_view address) {
  sockaddr_in addr;
  if (!ToSockAddr(address.empty() ? "0.0.0.0" : address, port, addr)) {
    SetError(EINVAL);
    return Socket();
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetError();
    return Socket();
  }
  Socket s(fd);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, backlog) != 0) {
    SetError();
    return Socket();
  }
  return s;
}

Socket Socket::Accept() {
  for (;;) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return Socket(fd);
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    SetError();
    return Socket();
  }
}

Socket Socket::Connect(std::string_view host, int port, DWORD timeout_ms, Mode mode) {
  const std::string ip = ResolveHostIPv4(host);
  sockaddr_in addr;
  if (ip.empty() || !ToSockAddr(ip, port, addr)) {
    SetError(EHOSTUNREACH);
    return Socket();
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetError();
    return Socket();
  }
  Socket s(fd);
  if (!ConnectWithTimeout(fd, addr, timeout_ms)) return Socket();
  if (mode == Mode::kBlocking) s.SetNonBlocking(false);
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

Socket Socket::Udp() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    SetError();
    return Socket();
  }
  Socket s(fd);
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    SetError();
    return Socket();
  }
  return s;
}

bool Socket::SetNonBlocking(bool on) {
  const int flags = ::fcntl(fd_, F_GETFL, 0);
  if (flags < 0) return false;
  return ::fcntl(fd_, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

bool Socket::SendAll(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::send(fd_, p, size, MSG_NOSIGNAL);
    if (n > 0) {
      p += n;
      size -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A non-blocking socket that is full: wait until it drains.
      pollfd p2{fd_, POLLOUT, 0};
      const int wait = send_timeout_ms_ == INFINITE_WAIT ? -1 : static_cast<int>(send_timeout_ms_);
      const int rc = ::poll(&p2, 1, wait);
      if (rc < 0 && errno != EINTR) {
        SetError();
        return false;
      }
      if (rc == 0) {
        SetError(ETIMEDOUT);
        return false;
      }
      if (p2.revents & (POLLERR | POLLHUP | POLLNVAL)) {
        SetError(ECONNRESET);
        return false;
      }
      continue;
    }
    SetError();
    return false;
  }
  return true;
}

long Socket::SendNow(std::string_view bytes) {
  for (;;) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    SetError();
    return -1;
  }
}

long Socket::Receive(void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer, size, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    SetError();
    return -1;
  }
}

long Socket::PeekOne() {
  char byte;
  const ssize_t n = ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  if (n < 0) {
    SetError();
    return -1;
  }
  return static_cast<long>(n);
}

int Socket::PollReadable(DWORD timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  const int n = ::poll(&p, 1, timeout_ms == INFINITE_WAIT ? -1 : static_cast<int>(timeout_ms));
  if (n < 0) {
    SetError();
    return -1;
  }
  return n > 0 ? 1 : 0;
}

bool Socket::ConnectUdp(std::string_view ip, int port) {
  sockaddr_in addr;
  if (!ToSockAddr(ip, port, addr)) {
    SetError(EINVAL);
    return false;
  }
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    SetError();
    return false;
  }
  return true;
}

bool Socket::SendTo(const void* data, std::size_t size, std::string_view ip, int port) {
  sockaddr_in addr;
  if (!ToSockAddr(ip, port, addr)) {
    SetError(EINVAL);
    return false;
  }
  const ssize_t n = ::sendto(fd_, data, size, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  if (n != static_cast<ssize_t>(size)) {
    SetError();
    return false;
  }
  return true;
}

long Socket::ReceiveFrom(void* buffer, std::size_t size) {
  const ssize_t n = ::recvfrom(fd_, buffer, size, MSG_DONTWAIT, nullptr, nullptr);
  if (n < 0) {
    SetError();
    return -1;
  }
  return static_cast<long>(n);
}

long Socket::ReceiveFrom(void* buffer, std::size_t size, std::string& from_ip, int& from_port) {
  sockaddr_in addr;
  socklen_t len = sizeof addr;
  std::memset(&addr, 0, sizeof addr);
  const ssize_t n =
      ::recvfrom(fd_, buffer, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&addr), &len);
  if (n < 0) {
    SetError();
    return -1;
  }
  char text[INET_ADDRSTRLEN] = {0};
  from_ip = ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text) ? text : "";
  from_port = ntohs(addr.sin_port);
  return static_cast<long>(n);
}

std::string Socket::PeerAddress() const {
  sockaddr_in addr;
  socklen_t len = sizeof addr;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return std::string();
  char text[INET_ADDRSTRLEN];
  return ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text) ? text : std::string();
}

int Socket::LocalPort() const {
  sockaddr_in addr;
  socklen_t len = sizeof addr;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

void StartupSockets() {
  // Sends pass MSG_NOSIGNAL already; this covers every other write to a
  // pipe or connection whose reader is gone (control channels, events).
  ::signal(SIGPIPE, SIG_IGN);
  rlimit limit;
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

void ReserveDescriptors(int count) {
  // A table of this size costs a few hundred KiB; beyond it the table grows
  // as it must.
  constexpr rlim_t kMostReserved = 65536;
  rlimit limit;
  if (count <= 0 || ::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t size = std::min({static_cast<rlim_t>(count), limit.rlim_cur, kMostReserved});
  const int probe = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return;
  // A copy at the highest number the table must hold grows it at once.
  const int top = ::fcntl(probe, F_DUPFD_CLOEXEC, static_cast<int>(size - 1));
  if (top >= 0) ::close(top);
  ::close(probe);
}

std::string LocalHostName() {
  char name[256] = {0};
  if (::gethostname(name, sizeof name - 1) != 0) return std::string();
  return name;
}

bool IsDottedIPv4(std::string_view text) {
  in_addr addr;
  const std::string copy(text);
  return ::inet_pton(AF_INET, copy.c_str(), &addr) == 1;
}

std::string ResolveHostIPv4(std::string_view host) {
  if (IsDottedIPv4(host)) return std::string(host);
  if (host.empty()) return std::string();
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  const std::string name(host);
  if (::getaddrinfo(name.c_str(), nullptr, &hints, &result) != 0 || result == nullptr) return std::string();
  char text[INET_ADDRSTRLEN] = {0};
  const auto* addr = reinterpret_cast<const sockaddr_in*>(result->ai_addr);
  ::inet_ntop(AF_INET, &addr->sin_addr, text, sizeof text);
  ::freeaddrinfo(result);
  return text;
}

}  // namespace platform
