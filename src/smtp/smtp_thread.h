// The SMTP side of the connection framework: CSmtpThread runs one
// CSmtpSocket session, CSmtpListenSocket starts one CSmtpThread per accepted
// client. Everything else (admission checks, greeting, idle time-out,
// receive path) is CConnectionThread's.
#pragma once

#include <memory>

#include "smtp/connection_thread.h"
#include "smtp/smtp_socket.h"

class CSmtpThread : public CConnectionThread {
 public:
  static const ProtocolTexts kTexts;

  CSmtpThread();
  CSmtpSocket& SmtpSession() { return static_cast<CSmtpSocket&>(Session()); }
  // Copies AuthLocal, AuthRemote, the local domains, the forward rules, the
  // blocked senders and ServerID from the server into the session; a later
  // reload does not reach this connection. Runs on the server thread.
  void CopySettings(const CMailServer& server);
};

class CSmtpListenSocket : public CListenSocket {
 public:
  explicit CSmtpListenSocket(CMailServer* server) : CListenSocket(server, true) {}

 protected:
  std::shared_ptr<CConnectionThread> NewConnectionThread() override;
};
