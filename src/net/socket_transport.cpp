// The transport over an accepted socket (see socket_transport.h).
#include "net/socket_transport.h"

CSocketTransport::CSocketTransport(platform::Socket socket, DWORD send_timeout_ms)
    : m_Socket(std::move(socket)) {
  m_Socket.SetSendTimeout(send_timeout_ms);
}

bool CSocketTransport::IsConnectionLost() {
  if (!m_Socket.IsValid()) return true;
  const int readable = m_Socket.PollReadable(0);
  if (readable <= 0) return false;
  const long peeked = m_Socket.PeekOne();
  if (peeked > 0) return false;
  if (peeked == 0) return true;
  switch (platform::LastSocketError()) {
    case WSAEINVAL:
    case WSAENETRESET:
    case WSAECONNABORTED:
    case WSAECONNRESET: return true;
    default: return false;
  }
}
