// The POP3 side of the connection framework: the connection thread that
// carries one CPop3Socket session, and the listener that starts one per
// accepted client. Everything else (admission checks, greeting, idle
// time-out, receive path, end-of-session work) is the framework's.
#pragma once

#include <functional>
#include <memory>

#include "net/listen_socket.h"
#include "pop3/pop3_socket.h"

// The POP3 texts of the connection phase.
extern const ProtocolTexts kPop3Texts;

class CPop3Thread : public CConnectionThread {
 public:
  CPop3Thread();
};

class CPop3ListenSocket : public CListenSocket {
 public:
  // Fills a new thread's copies of the server's settings (the IP filter);
  // runs on the server thread at every accept.
  using CopySettings = std::function<void(CPop3Thread& thread)>;

  CPop3ListenSocket(CServerLink* server, CopySettings copy_settings)
      : CListenSocket(server, false), m_CopySettings(std::move(copy_settings)) {}

 protected:
  std::shared_ptr<CConnectionThread> NewConnectionThread() override;

 private:
  CopySettings m_CopySettings;
};
