// The encrypting layer of an accepted connection: it takes over the plain
// socket transport (after STARTTLS or STLS, or from the start on an
// implicit TLS port) and carries the session's bytes through a CTlsStream.
// The handshake runs as its bytes arrive, in Receive; until it is done,
// nothing reaches the session.
#pragma once

#include <memory>
#include <string>

#include "net/socket_transport.h"
#include "net/tls_stream.h"

// What the connection learns of the handshake.
class CTlsEvents {
 public:
  virtual ~CTlsEvents() = default;
  // "TLSv1.3 TLS_AES_256_GCM_SHA384"
  virtual void OnTlsEstablished(const std::string& description) = 0;
  // The handshake or a record failed ("TLS handshake failed: " or "TLS
  // error: " and the reason); the connection reads as closed next.
  virtual void OnTlsFailed(const std::string& text) = 0;
};

class CTlsTransport : public CConnectionTransport {
 public:
  CTlsTransport(std::shared_ptr<CTlsContext> context, std::unique_ptr<CSocketTransport> plain,
                CTlsEvents* events);

  bool IsConnectionLost() override { return m_pPlain->IsConnectionLost(); }
  bool SendAll(std::string_view bytes) override;
  void Close() override;

  // Prepare runs the handshake; Receive does too when it was not called.
  long Prepare() override;
  long Receive(char* buffer, std::size_t size) override;
  int WatchedFd() const override { return m_pPlain->WatchedFd(); }
  std::string PeerAddress() const override { return m_pPlain->PeerAddress(); }
  bool IsOpen() const override { return m_pPlain->IsOpen() && !m_bFailed; }
  bool HasBufferedData() const override { return !m_bFailed && m_Stream.HasPending(); }

 private:
  void Fail();

  std::unique_ptr<CSocketTransport> m_pPlain;
  CTlsStream m_Stream;
  CTlsEvents* m_pEvents;
  bool m_bFailed = false;
};
