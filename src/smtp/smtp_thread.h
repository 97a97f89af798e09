// The SMTP side of the connection framework: CSmtpThread runs one
// CSmtpSocket session, CSmtpListenSocket starts one CSmtpThread per accepted
// client. Everything else (admission checks, greeting, idle time-out,
// receive path) is CConnectionThread's.
#pragma once

#include <functional>
#include <memory>

#include "net/listen_socket.h"
#include "smtp/smtp_socket.h"

class CSmtpThread : public CConnectionThread {
 public:
  static const ProtocolTexts kTexts;

  CSmtpThread();
  CSmtpSocket& SmtpSession() { return static_cast<CSmtpSocket&>(Session()); }
};

class CSmtpListenSocket : public CListenSocket {
 public:
  // Fills a new thread's copies of the server's settings: the IP filter, and
  // AuthLocal, AuthRemote, the local domains, the forward rules, the blocked
  // senders and ServerID for its session. Runs on the server thread at every
  // accept; a later reload does not reach the connection.
  using CopySettings = std::function<void(CSmtpThread& thread)>;

  CSmtpListenSocket(CServerLink* server, CopySettings copy_settings)
      : CListenSocket(server, true), m_CopySettings(std::move(copy_settings)) {}

 protected:
  std::shared_ptr<CConnectionThread> NewConnectionThread() override;

 private:
  CopySettings m_CopySettings;
};
