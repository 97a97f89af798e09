// The copies of the settings a new connection takes at accept time. They
// stay as they were taken: a reload reaches new connections only.
#include "net/connection_thread.h"
#include "service/mail_server.h"
#include "smtp/smtp_thread.h"

void CMailServer::CopySettings(CConnectionThread& thread) const {
  thread.m_nIPFilterMode = m_nIPFilterMode;
  thread.m_arrIPFilter = m_arrIPFilter;
  thread.m_pTlsContext = m_pTlsContext;
  thread.Session().m_bTlsAuthOnly = m_bTlsAuthOnly;
}

void CMailServer::CopySettings(CSmtpThread& thread) const {
  CopySettings(static_cast<CConnectionThread&>(thread));
  CSmtpSocket& session = thread.SmtpSession();
  session.m_bAuthLocal = m_bAuthLocal;
  session.m_bAuthRemote = m_bAuthRemote;
  session.m_arrDomains = m_arrDomains;
  session.m_arrForwardRules = m_arrForwardRules;
  session.m_arrBlockMailFrom = m_arrBlockMailFrom;
  session.m_strServerID = m_strServerID;
  session.m_nMaxMessageSize = m_nMaxMessageSize;
}
