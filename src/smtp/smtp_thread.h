// The SMTP side of the connection framework: CSmtpThread runs one
// CSmtpSocket session, CSmtpListenSocket starts one CSmtpThread per accepted
// client. Everything else (admission checks, greeting, idle time-out,
// receive path) is CConnectionThread's.
#pragma once

#include <memory>

#include "net/listen_socket.h"
#include "smtp/smtp_socket.h"

class CSmtpThread : public CConnectionThread {
 public:
  static const ProtocolTexts kTexts;

  CSmtpThread();
  CSmtpSocket& SmtpSession() { return static_cast<CSmtpSocket&>(Session()); }
};

// Starts one CSmtpThread per client; its copies of the settings are the IP
// filter, and AuthLocal, AuthRemote, the local domains, the forward rules,
// the blocked senders and ServerID for its session.
class CSmtpListenSocket : public CProtocolListenSocket<CSmtpThread> {
 public:
  CSmtpListenSocket(std::shared_ptr<CServerLink> server, CopySettings copy_settings)
      : CProtocolListenSocket(std::move(server), true, std::move(copy_settings)) {}
};
