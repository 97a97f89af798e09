// CSmtpThread: the SMTP texts of the connection phase (see smtp_thread.h).
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
