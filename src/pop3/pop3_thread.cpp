// CPop3Thread and CPop3ListenSocket.
#include "pop3/pop3_thread.h"

const ProtocolTexts kPop3Texts = {
    "POP3",
    "<POP3> ",
    "+OK Kestrune Mail Server ready",
    "-ERR too many users",
    "-ERR forbidden",
};

CPop3Thread::CPop3Thread() : CConnectionThread(kPop3Texts, std::make_unique<CPop3Socket>()) {
  m_bSmtp = false;
}

std::shared_ptr<CConnectionThread> CPop3ListenSocket::NewConnectionThread() {
  auto thread = std::make_shared<CPop3Thread>();
  if (m_CopySettings) m_CopySettings(*thread);
  return thread;
}
