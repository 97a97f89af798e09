// The encrypted stream over a platform socket (see tls_stream.h). The
// library reads and writes through a BIO of our own whose calls are the
// socket's Receive and SendAll.
#include "net/tls_stream.h"

#include <climits>
#include <mutex>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace {

platform::Socket& SocketOf(BIO* bio) { return *static_cast<platform::Socket*>(BIO_get_data(bio)); }

int ClampSize(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

int SocketRead(BIO* bio, char* buffer, int size) {
  BIO_clear_retry_flags(bio);
  if (size <= 0) return 0;
  const long n = SocketOf(bio).Receive(buffer, static_cast<std::size_t>(size));
  if (n >= 0) return static_cast<int>(n);
  if (platform::LastSocketError() == WSAEWOULDBLOCK) BIO_set_retry_read(bio);
  return -1;
}

int SocketWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  if (size <= 0) return 0;
  return SocketOf(bio).SendAll(data, static_cast<std::size_t>(size)) ? size : -1;
}

long SocketControl(BIO*, int command, long, void*) {
  // The library flushes after each flight; sends are never buffered here.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

BIO_METHOD* SocketMethod() {
  static BIO_METHOD* method = nullptr;
  static std::once_flag once;
  std::call_once(once, [] {
    method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "platform socket");
    if (method == nullptr) return;
    BIO_meth_set_read(method, SocketRead);
    BIO_meth_set_write(method, SocketWrite);
    BIO_meth_set_ctrl(method, SocketControl);
    BIO_meth_set_create(method, [](BIO* bio) {
      BIO_set_init(bio, 1);
      return 1;
    });
  });
  return method;
}

}  // namespace

CTlsStream::CTlsStream(std::shared_ptr<CTlsContext> context, platform::Socket& socket)
    : m_pContext(std::move(context)) {
  BIO_METHOD* method = SocketMethod();
  if (method == nullptr) return;
  ERR_clear_error();
  m_pSsl = SSL_new(m_pContext->Handle());
  BIO* bio = m_pSsl ? BIO_new(method) : nullptr;
  if (bio == nullptr) {
    SSL_free(m_pSsl);
    m_pSsl = nullptr;
    m_strError = TakeTlsErrorText("out of memory");
    return;
  }
  BIO_set_data(bio, &socket);
  SSL_set_bio(m_pSsl, bio, bio);
  if (m_pContext->IsServer())
    SSL_set_accept_state(m_pSsl);
  else
    SSL_set_connect_state(m_pSsl);
}

CTlsStream::~CTlsStream() { SSL_free(m_pSsl); }

CTlsStream::Result CTlsStream::Failed(int code, const char* fallback) {
  m_bWouldBlock = false;
  const int error = SSL_get_error(m_pSsl, code);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    m_bWouldBlock = true;
    return Result::kWouldBlock;
  }
  if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0)
    m_strError = "the connection was closed";
  else
    m_strError = TakeTlsErrorText(fallback);
  return Result::kFailed;
}

CTlsStream::Result CTlsStream::Handshake() {
  if (m_bEstablished) return Result::kDone;
  ERR_clear_error();
  const int rc = SSL_do_handshake(m_pSsl);
  if (rc == 1) {
    m_bEstablished = true;
    return Result::kDone;
  }
  return Failed(rc, "the handshake failed");
}

std::string CTlsStream::Description() const {
  const SSL_CIPHER* cipher = SSL_get_current_cipher(m_pSsl);
  std::string text = SSL_get_version(m_pSsl);
  text += ' ';
  text += cipher ? SSL_CIPHER_get_name(cipher) : "(none)";
  return text;
}

long CTlsStream::Read(char* buffer, std::size_t size) {
  m_bWouldBlock = false;
  ERR_clear_error();
  const int n = SSL_read(m_pSsl, buffer, ClampSize(size));
  if (n > 0) return n;
  const int error = SSL_get_error(m_pSsl, n);
  if (error == SSL_ERROR_ZERO_RETURN) return 0;
  // A peer that closes without a close notify ends the session the same
  // way: what it sent before was taken already.
  if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) return 0;
  Failed(n, "cannot read");
  return -1;
}

bool CTlsStream::HasPending() const { return m_pSsl != nullptr && SSL_pending(m_pSsl) > 0; }

bool CTlsStream::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    ERR_clear_error();
    std::size_t written = 0;
    const int rc = SSL_write_ex(m_pSsl, bytes.data(), bytes.size(), &written);
    if (rc != 1) {
      // The socket's sends block up to its time-out, so the library never
      // has to wait for room: any stop here is a failure.
      Failed(rc, "cannot send");
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

void CTlsStream::Shutdown() {
  if (m_pSsl == nullptr || !m_bEstablished) return;
  ERR_clear_error();
  SSL_shutdown(m_pSsl);
  ERR_clear_error();
}
