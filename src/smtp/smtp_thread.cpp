// CSmtpThread and CSmtpListenSocket (see smtp_thread.h).
#include "smtp/smtp_thread.h"

#include "service/mail_server.h"

const ProtocolTexts CSmtpThread::kTexts = {
    "SMTP",
    "<SMTP> ",
    "220 Kestrune Mail Server",
    "421 Service not available",
    "421 Service not available",
};

CSmtpThread::CSmtpThread() : CConnectionThread(kTexts, std::make_unique<CSmtpSocket>()) {
  m_bSmtp = true;
}

void CSmtpThread::CopySettings(const CMailServer& server) {
  CSmtpSocket& session = SmtpSession();
  session.m_bAuthLocal = server.m_bAuthLocal;
  session.m_bAuthRemote = server.m_bAuthRemote;
  session.m_arrDomains = server.m_arrDomains;
  session.m_arrForwardRules = server.m_arrForwardRules;
  session.m_arrBlockMailFrom = server.m_arrBlockMailFrom;
  session.m_strServerID = server.m_strServerID;
}

std::shared_ptr<CConnectionThread> CSmtpListenSocket::NewConnectionThread() {
  auto thread = std::make_shared<CSmtpThread>();
  if (m_pServer != nullptr) thread->CopySettings(*m_pServer);
  return thread;
}
