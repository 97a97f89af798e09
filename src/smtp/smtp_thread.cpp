// CSmtpThread and CSmtpListenSocket (see smtp_thread.h).
#include "smtp/smtp_thread.h"

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

std::shared_ptr<CConnectionThread> CSmtpListenSocket::NewConnectionThread() {
  auto thread = std::make_shared<CSmtpThread>();
  if (m_CopySettings) m_CopySettings(*thread);
  return thread;
}
