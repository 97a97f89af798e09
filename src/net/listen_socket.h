// The listening sockets of SMTP and POP3: on the server thread, each accept
// notification starts one connection thread per client.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "net/connection_thread.h"
#include "net/server_link.h"
#include "platform/sockets.h"
#include "platform/win_types.h"

// A listening socket on the server thread; its accept notification starts
// one connection thread per client.
class CListenSocket {
 public:
  // Every connection thread gets a share of `server`.
  CListenSocket(std::shared_ptr<CServerLink> server, bool smtp);
  virtual ~CListenSocket();
  // Creates the socket on `port` of the dotted IPv4 `address` (empty: any
  // local address) and listens.
  bool Create(int port, int backlog, std::string_view address = {});
  void Close();

 protected:
  // How long accepting pauses after an accept failed (out of descriptors or
  // memory): the waiting clients stay in the backlog meanwhile.
  static constexpr DWORD kAcceptRetryMs = 100;

  void OnAccept();
  void PauseAccepting();
  // One accept on the listening socket (a test counts them).
  virtual platform::Socket AcceptClient() { return m_Socket.Accept(); }
  // A thread of the listener's protocol with its copies of the settings.
  virtual std::shared_ptr<CConnectionThread> NewConnectionThread() = 0;

  std::shared_ptr<CServerLink> m_pServer;
  bool m_bSmtp;
  platform::Socket m_Socket;
  UINT m_nWatch = 0;
  UINT m_nResumeTimer = 0;  // accepting paused while descriptors ran out
};

// The listener of one protocol: one ThreadType per client, with the copies
// of the server's settings that `copy_settings` fills in (on the server
// thread, at accept time; a later reload does not reach the connection).
template <class ThreadType>
class CProtocolListenSocket : public CListenSocket {
 public:
  using CopySettings = std::function<void(ThreadType& thread)>;

  CProtocolListenSocket(std::shared_ptr<CServerLink> server, bool smtp, CopySettings copy_settings)
      : CListenSocket(std::move(server), smtp), m_CopySettings(std::move(copy_settings)) {}

 protected:
  std::shared_ptr<CConnectionThread> NewConnectionThread() override {
    auto thread = std::make_shared<ThreadType>();
    if (m_CopySettings) m_CopySettings(*thread);
    return thread;
  }

 private:
  CopySettings m_CopySettings;
};
