// TCP and UDP sockets over IPv4 with WinSock-style error codes (socket_error()
// gives WSAEWOULDBLOCK, WSAECONNRESET, ...). Notifications (readable, closed)
// come from the owning thread's MessageQueue::WatchFd; this header only wraps
// the descriptor.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/win_types.h"

namespace platform {

// WinSock-style code of the last failed socket call on this thread.
int LastSocketError();
// The system's wording of such a code ("Address already in use").
std::string SocketErrorText(int code);

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket();
  Socket(Socket&& other) noexcept;
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // A listening TCP socket (SO_REUSEADDR, non-blocking) on the dotted IPv4
  // `address`, or on any local address when it is empty; an address that is
  // no dotted IPv4 text fails with WSAEINVAL.
  static Socket Listen(int port, int backlog, std::string_view address = {});
  // Accepts one pending connection (non-blocking listener); the new socket is
  // non-blocking. Invalid when none is pending.
  Socket Accept();
  // A TCP connection to host:port. A dotted IPv4 host is used as it is; a
  // name goes through the system resolver. Waits at most timeout_ms. The
  // socket is left blocking unless asked otherwise.
  enum class Mode { kBlocking, kNonBlocking };
  static Socket Connect(std::string_view host, int port, DWORD timeout_ms, Mode mode = Mode::kBlocking);
  // A UDP socket bound to any local address and port 0.
  static Socket Udp();

  bool IsValid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  int Release();
  void Close();

  bool SetNonBlocking(bool on);
  // How long SendAll waits for a peer that takes nothing (default: no limit).
  void SetSendTimeout(DWORD timeout_ms) { send_timeout_ms_ = timeout_ms; }
  // Sends every byte (waiting while the socket is full). false on failure.
  bool SendAll(const void* data, std::size_t size);
  bool SendAll(std::string_view text) { return SendAll(text.data(), text.size()); }
  // One send without waiting: the bytes the socket took (maybe fewer than
  // `size`), or -1 on error.
  long SendNow(std::string_view bytes);
  // One receive without blocking: byte count, 0 when the peer closed,
  // -1 on error (LastSocketError(): WSAEWOULDBLOCK when nothing is there).
  long Receive(void* buffer, std::size_t size);
  // Peeks one byte without removing it: 1, 0 (peer closed) or -1 (error).
  long PeekOne();
  // Waits at most timeout_ms for readability: 1 readable, 0 not, -1 error.
  int PollReadable(DWORD timeout_ms);
  // UDP.
  // Connects a UDP socket to ip:port (a dotted IPv4 address): SendAll then
  // sends its buffer there as one datagram, and Receive gets only datagrams
  // whose source is ip:port (the kernel drops the others). false on failure.
  bool ConnectUdp(std::string_view ip, int port);
  bool SendTo(const void* data, std::size_t size, std::string_view ip, int port);
  long ReceiveFrom(void* buffer, std::size_t size);
  // As above, also giving the sender's dotted IPv4 address and port.
  long ReceiveFrom(void* buffer, std::size_t size, std::string& from_ip, int& from_port);

  // Dotted IPv4 text of the peer / of the local end; empty on failure.
  std::string PeerAddress() const;
  int LocalPort() const;

 private:
  int fd_ = -1;
  DWORD send_timeout_ms_ = 0xFFFFFFFF;
};

// The socket start-up of a server process, before its first thread: a write
// to a connection or pipe whose reader is gone reports an error instead of
// ending the process (SIGPIPE), and the limit of open descriptors is raised
// to the most the process may have (every connection holds a few, and the
// default soft limit is low).
void StartupSockets();
// Makes room for `count` open descriptors at once, up to the process's limit,
// before the clients come. The system grows the table of descriptors by
// doubling it, and while other threads run each growth waits for them all
// to pass a quiet point (milliseconds, tens of them on a busy machine),
// during which no thread of the process can open a descriptor: a burst of
// connects would stall the listener. A table once grown stays so.
void ReserveDescriptors(int count);

// The host name of this machine as the socket layer reports it.
std::string LocalHostName();
// Resolves a host text to a dotted IPv4 address: a dotted address is itself
// (no query); a name goes through the system resolver. Empty when unknown.
std::string ResolveHostIPv4(std::string_view host);
// True when the text is a dotted IPv4 address.
bool IsDottedIPv4(std::string_view text);

}  // namespace platform
