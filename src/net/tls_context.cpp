// Making the library's contexts (see tls_context.h).
#include "net/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

std::string TakeTlsErrorText(const char* fallback) {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char reason[256];
    ERR_error_string_n(code, reason, sizeof reason);
    if (!text.empty()) text += "; ";
    text += reason;
  }
  return text.empty() ? std::string(fallback) : text;
}

namespace {

SSL_CTX* NewContext(const SSL_METHOD* method) {
  SSL_CTX* context = SSL_CTX_new(method);
  if (context == nullptr) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
  // An idle session gives its read and write buffers back (about 34 KiB
  // each otherwise): a server holds many idle sessions.
  SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
  // Renegotiation would let a client make the server repeat the costly
  // part of the handshake at will.
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
  return context;
}

}  // namespace

CTlsContext::~CTlsContext() { SSL_CTX_free(m_pContext); }

std::shared_ptr<CTlsContext> CTlsContext::CreateServer(const std::string& certificate_file,
                                                       const std::string& key_file, std::string& error) {
  ERR_clear_error();
  SSL_CTX* context = NewContext(TLS_server_method());
  if (context == nullptr) {
    error = TakeTlsErrorText("cannot make a context");
    return nullptr;
  }
  std::shared_ptr<CTlsContext> result(new CTlsContext(context, true));
  if (SSL_CTX_use_certificate_chain_file(context, certificate_file.c_str()) != 1) {
    error = "\"" + certificate_file + "\": " + TakeTlsErrorText("cannot load the certificate");
    return nullptr;
  }
  if (SSL_CTX_use_PrivateKey_file(context, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    error = "\"" + key_file + "\": " + TakeTlsErrorText("cannot load the private key");
    return nullptr;
  }
  if (SSL_CTX_check_private_key(context) != 1) {
    error = "\"" + key_file + "\": " + TakeTlsErrorText("the key does not match the certificate");
    return nullptr;
  }
  // No session cache: resumption saves little for mail clients that
  // connect now and then, and the cache would grow with every client.
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(context, 0);
  return result;
}

std::shared_ptr<CTlsContext> CTlsContext::CreateClient(std::string& error) {
  ERR_clear_error();
  SSL_CTX* context = NewContext(TLS_client_method());
  if (context == nullptr) {
    error = TakeTlsErrorText("cannot make a context");
    return nullptr;
  }
  SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  return std::shared_ptr<CTlsContext>(new CTlsContext(context, false));
}
