// The encrypting transport of an accepted connection (see tls_transport.h).
#include "net/tls_transport.h"

CTlsTransport::CTlsTransport(std::shared_ptr<CTlsContext> context, std::unique_ptr<CSocketTransport> plain,
                             CTlsEvents* events)
    : m_pPlain(std::move(plain)), m_Stream(std::move(context), m_pPlain->Socket()), m_pEvents(events) {
  if (!m_Stream.IsValid()) m_bFailed = true;
}

long CTlsTransport::Prepare() {
  if (m_bFailed) return 0;
  if (m_Stream.IsEstablished()) return 1;
  switch (m_Stream.Handshake()) {
    case CTlsStream::Result::kWouldBlock:
      return -1;  // the socket's receive said WSAEWOULDBLOCK
    case CTlsStream::Result::kFailed:
      Fail();
      return 0;
    case CTlsStream::Result::kDone:
      break;
  }
  if (m_pEvents) m_pEvents->OnTlsEstablished(m_Stream.Description());
  return 1;
}

long CTlsTransport::Receive(char* buffer, std::size_t size) {
  const long ready = Prepare();
  if (ready <= 0) return ready;
  const long n = m_Stream.Read(buffer, size);
  if (n < 0 && !m_Stream.WouldBlock()) {
    Fail();
    return 0;
  }
  return n;
}

bool CTlsTransport::SendAll(std::string_view bytes) {
  if (m_bFailed || !m_Stream.IsEstablished()) return false;
  return m_Stream.Write(bytes);
}

void CTlsTransport::Close() {
  if (m_pPlain->IsOpen() && !m_bFailed) m_Stream.Shutdown();
  m_pPlain->Close();
}

void CTlsTransport::Fail() {
  m_bFailed = true;
  if (m_pEvents)
    m_pEvents->OnTlsFailed((m_Stream.IsEstablished() ? "TLS error: " : "TLS handshake failed: ") + m_Stream.ErrorText());
}
