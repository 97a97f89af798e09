// The POP3 side of the connection framework: the connection thread that
// carries one CPop3Socket session, and the listener that starts one per
// accepted client. Everything else (admission checks, greeting, idle
// time-out, receive path, end-of-session work) is the framework's.
#pragma once

#include <memory>

#include "pop3/pop3_socket.h"
#include "smtp/connection_thread.h"

// The POP3 texts of the connection phase.
extern const ProtocolTexts kPop3Texts;

class CPop3Thread : public CConnectionThread {
 public:
  CPop3Thread();
};

class CPop3ListenSocket : public CListenSocket {
 public:
  explicit CPop3ListenSocket(CMailServer* server) : CListenSocket(server, false) {}

 protected:
  std::shared_ptr<CConnectionThread> NewConnectionThread() override;
};
