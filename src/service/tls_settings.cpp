// The server's encryption: the context made from the certificate and key
// files, and the listeners of the implicit TLS ports.
#include "net/tls_context.h"
#include "platform/paths.h"
#include "pop3/pop3_thread.h"
#include "service/mail_server.h"
#include "smtp/smtp_thread.h"

void CMailServer::LoadTlsContext() {
  if (m_strTlsCertificate.empty()) {
    m_pTlsContext.reset();
    return;
  }
  // The key may be in the certificate's own file.
  const std::string key = m_strTlsPrivateKey.empty() ? m_strTlsCertificate : m_strTlsPrivateKey;
  std::string error;
  std::shared_ptr<CTlsContext> context =
      CTlsContext::CreateServer(platform::MapPath(m_strTlsCertificate), platform::MapPath(key), error);
  if (!context) {
    // A renewal caught half-way through must not end encryption for the
    // clients that rely on it: what a reload cannot load leaves the
    // context in use as it was.
    ReportError("ERROR: Cannot load the TLS certificate or key: " + error +
                (m_pTlsContext ? "; the previous certificate stays in use." : "; connections are not encrypted."));
    return;
  }
  // Connections already running keep the context they started with.
  m_pTlsContext = std::move(context);
}

bool CMailServer::StartTlsListeners() {
  // Without a certificate the implicit ports stay closed: a client there
  // could do nothing but fail its handshake.
  if (!m_pTlsContext) {
    if (m_nSmtpsPort != 0 || m_nPop3sPort != 0)
      WriteLog(LOG_ERROR, 0, "The TLS ports are not opened: no TLS certificate is loaded.");
    return true;
  }
  if (m_nPop3sPort != 0) {
    if (!StartListeners(m_arrPop3sListeners, "POP3", m_nPop3sPort, [this] {
          return std::make_unique<CPop3ListenSocket>(m_pLink, [this](CPop3Thread& thread) {
            CopySettings(static_cast<CConnectionThread&>(thread));
            thread.m_bImplicitTls = true;
          });
        }))
      return false;
    WriteLog(LOG_TRACE, 0, "<POP3> Server started on port %d (TLS).", m_nPop3sPort);
  }
  if (m_nSmtpsPort != 0) {
    if (!StartListeners(m_arrSmtpsListeners, "SMTP", m_nSmtpsPort, [this] {
          return std::make_unique<CSmtpListenSocket>(m_pLink, [this](CSmtpThread& thread) {
            CopySettings(thread);
            thread.m_bImplicitTls = true;
          });
        }))
      return false;
    WriteLog(LOG_TRACE, 0, "<SMTP> Server started on port %d (TLS).", m_nSmtpsPort);
  }
  return true;
}
