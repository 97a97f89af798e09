// One encrypted connection over a socket that someone else owns: the
// server side of an accepted client (STARTTLS, STLS, the implicit ports)
// or the relay's client side. Every byte goes through the socket's own
// calls: a receive never blocks (nothing there reads as "would block"), a
// send waits at most the socket's send time-out, as over a plain socket.
//
// The library keeps its record buffers only while a record is in transit,
// so an idle stream holds a few KiB.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "net/tls_context.h"
#include "platform/sockets.h"

struct ssl_st;

class CTlsStream {
 public:
  enum class Result { kDone, kWouldBlock, kFailed };

  // `socket` must outlive the stream.
  CTlsStream(std::shared_ptr<CTlsContext> context, platform::Socket& socket);
  ~CTlsStream();
  CTlsStream(const CTlsStream&) = delete;
  CTlsStream& operator=(const CTlsStream&) = delete;

  // False when the library could not make the session (out of memory).
  bool IsValid() const { return m_pSsl != nullptr; }

  // Goes on with the handshake as far as the received bytes allow.
  Result Handshake();
  bool IsEstablished() const { return m_bEstablished; }
  // "TLSv1.3 TLS_AES_256_GCM_SHA384" once established.
  std::string Description() const;

  // Decrypted bytes: the count; 0 when the peer ended the session (a close
  // notify or the connection closed); -1 when nothing is there yet
  // (WouldBlock()) or on failure (ErrorText()).
  long Read(char* buffer, std::size_t size);
  bool WouldBlock() const { return m_bWouldBlock; }
  // Decrypted bytes the library holds that the socket will not signal.
  bool HasPending() const;
  // Encrypts and sends every byte; false on failure.
  bool Write(std::string_view bytes);
  // Sends the close notify (without waiting for the peer's).
  void Shutdown();

  // Why the last call failed ("" when it did not).
  const std::string& ErrorText() const { return m_strError; }

 private:
  Result Failed(int code, const char* fallback);

  std::shared_ptr<CTlsContext> m_pContext;
  ssl_st* m_pSsl = nullptr;
  bool m_bEstablished = false;
  bool m_bWouldBlock = false;
  std::string m_strError;
};
