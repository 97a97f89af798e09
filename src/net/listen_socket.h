// The listening sockets of SMTP and POP3: on the server thread, each accept
// notification starts one connection thread per client.
#pragma once

#include <memory>

#include "net/connection_thread.h"
#include "net/server_link.h"
#include "platform/sockets.h"
#include "platform/win_types.h"

// A listening socket on the server thread; its accept notification starts
// one connection thread per client.
class CListenSocket {
 public:
  CListenSocket(CServerLink* server, bool smtp);
  virtual ~CListenSocket();
  // Creates the socket on `port` (any local address) and listens.
  bool Create(int port, int backlog);
  void Close();

 protected:
  // How long accepting pauses when the process is out of descriptors.
  static constexpr DWORD kAcceptRetryMs = 100;

  void OnAccept();
  void PauseAccepting();
  // A thread of the listener's protocol with its copies of the settings.
  virtual std::shared_ptr<CConnectionThread> NewConnectionThread() = 0;

  CServerLink* m_pServer;
  bool m_bSmtp;
  platform::Socket m_Socket;
  UINT m_nWatch = 0;
  UINT m_nResumeTimer = 0;  // accepting paused while descriptors ran out
};
