// The bytes of one accepted connection as the connection thread moves them:
// it receives through a CConnectionTransport and hands it to the session as
// the SessionTransport its replies go out through. CSocketTransport carries
// the bytes over the accepted socket; a layer that encrypts them can stand
// in its place, wrapping the socket's transport.
#pragma once

#include <cstddef>
#include <string>

#include "net/session_socket.h"
#include "platform/sockets.h"
#include "platform/win_types.h"

class CConnectionTransport : public SessionTransport {
 public:
  // What must come before the bytes (an encrypting layer's handshake, as
  // far as the received bytes allow): 1 ready to Receive, -1 not yet (the
  // watched descriptor will signal), 0 closed or failed.
  virtual long Prepare() { return 1; }
  // One receive without blocking: the byte count, 0 when the peer closed,
  // -1 on error (platform::LastSocketError(): WSAEWOULDBLOCK when nothing is
  // there yet).
  virtual long Receive(char* buffer, std::size_t size) = 0;
  // The descriptor whose readiness means Receive has something to say.
  virtual int WatchedFd() const = 0;
  // Dotted IPv4 text of the client.
  virtual std::string PeerAddress() const = 0;
  virtual bool IsOpen() const = 0;
  // Received bytes this transport holds that the descriptor will not
  // signal again (decrypted text of a record not yet taken).
  virtual bool HasBufferedData() const { return false; }
};

class CSocketTransport : public CConnectionTransport {
 public:
  // `send_timeout_ms`: how long a reply may wait for a client that takes
  // nothing before the send fails.
  CSocketTransport(platform::Socket socket, DWORD send_timeout_ms);

  // SessionTransport: the connection is lost when the socket is gone, or
  // when it reads as closed or reset without taking the byte waiting.
  bool IsConnectionLost() override;
  bool SendAll(std::string_view bytes) override { return m_Socket.SendAll(bytes); }
  void Close() override { m_Socket.Close(); }

  long Receive(char* buffer, std::size_t size) override { return m_Socket.Receive(buffer, size); }
  int WatchedFd() const override { return m_Socket.fd(); }
  std::string PeerAddress() const override { return m_Socket.PeerAddress(); }
  bool IsOpen() const override { return m_Socket.IsValid(); }

  // The socket an encrypting layer reads and writes through.
  platform::Socket& Socket() { return m_Socket; }

 private:
  platform::Socket m_Socket;
};
