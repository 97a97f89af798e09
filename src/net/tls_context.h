// The encryption settings of the process made usable: one CTlsContext holds
// the library's context (TLS 1.2 and 1.3, the library's default ciphers),
// for the server side with the certificate chain and its key, for the
// relay's client side without any. Every session made from a context holds
// a share of it: a reload makes a new context for new connections while
// the sessions already running keep theirs.
//
// Nothing of the library is touched before the first context is made, so a
// server without a certificate never initialises it.
#pragma once

#include <memory>
#include <string>

struct ssl_ctx_st;

class CTlsContext {
 public:
  ~CTlsContext();
  CTlsContext(const CTlsContext&) = delete;
  CTlsContext& operator=(const CTlsContext&) = delete;

  // A server context from the PEM certificate chain and private key files
  // (native paths; the key may be in the certificate's file). Null when
  // either cannot be loaded, with `error` naming the file and the library's
  // reason.
  static std::shared_ptr<CTlsContext> CreateServer(const std::string& certificate_file,
                                                   const std::string& key_file, std::string& error);
  // A client context that encrypts without checking the server's
  // certificate (opportunistic encryption between mail servers).
  static std::shared_ptr<CTlsContext> CreateClient(std::string& error);

  ssl_ctx_st* Handle() const { return m_pContext; }
  bool IsServer() const { return m_bServer; }

 private:
  CTlsContext(ssl_ctx_st* context, bool server) : m_pContext(context), m_bServer(server) {}

  ssl_ctx_st* m_pContext;
  bool m_bServer;
};

// The library's reasons for the last failures of this thread, oldest first,
// joined with "; " (and the queue emptied); `fallback` when there are none.
std::string TakeTlsErrorText(const char* fallback);
