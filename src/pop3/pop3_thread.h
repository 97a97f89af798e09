// The POP3 side of the connection framework: the connection thread that
// carries one CPop3Socket session, and the listener that starts one per
// accepted client. Everything else (admission checks, greeting, idle
// time-out, receive path, end-of-session work) is the framework's.
#pragma once

#include <memory>

#include "net/listen_socket.h"
#include "pop3/pop3_socket.h"

// The POP3 texts of the connection phase.
extern const ProtocolTexts kPop3Texts;

class CPop3Thread : public CConnectionThread {
 public:
  CPop3Thread();
};

// Starts one CPop3Thread per client; its copies of the settings are the IP
// filter.
class CPop3ListenSocket : public CProtocolListenSocket<CPop3Thread> {
 public:
  CPop3ListenSocket(std::shared_ptr<CServerLink> server, CopySettings copy_settings)
      : CProtocolListenSocket(std::move(server), false, std::move(copy_settings)) {}
};
