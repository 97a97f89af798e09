// CPop3Thread: the POP3 texts of the connection phase.
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
