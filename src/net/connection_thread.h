// The connection framework, once for SMTP and POP3: the listeners, and one
// connection thread per accepted client with its admission checks
// (connection limit, IP filter), greeting, idle time-out, receive path and
// the hand-over of log texts to the server thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/server_link.h"
#include "net/session_socket.h"
#include "platform/messages.h"
#include "platform/sockets.h"

// Texts that differ between the protocols.
struct ProtocolTexts {
  const char* name;          // "SMTP" / "POP3"
  const char* log_prefix;    // "<SMTP> " / "<POP3> "
  const char* greeting;      // "220 Kestrune Mail Server"
  const char* too_many;      // "421 Service not available"
  const char* forbidden;     // "421 Service not available"
};

class CConnectionThread : public platform::Thread,
                          public CConnectionContext,
                          private SessionTransport {
 public:
  // Bytes taken from the socket per receive notification.
  static constexpr std::size_t kReceiveChunk = 4096;
  static constexpr unsigned kTimerPeriodMs = 1000;

  CConnectionThread(const ProtocolTexts& texts, std::unique_ptr<CSessionSocket> session);
  ~CConnectionThread() override;

  // Filled by the listener before Start(); the settings are copies the
  // server made at accept time (NewConnectionThread).
  platform::ThreadId m_hNotifyWindow = 0;
  platform::Socket m_AcceptedSocket;
  int m_nIPFilterMode = 0;
  std::vector<std::string> m_arrIPFilter;
  CServerLink* m_pServer = nullptr;
  bool m_bSmtp = true;

  bool IsAddressAllowed(const char* address) const;

  // CConnectionContext
  void Log(std::string_view text) override;
  void TouchActivity() override;
  void PostQuit() override;
  void PostDeliver(const std::string& path) override;
  CServerLink* Server() override { return m_pServer; }
  const std::string& PeerAddress() const override { return m_strPeerAddress; }

  CSessionSocket& Session() { return *m_pSession; }

 protected:
  void Run() override;

 private:
  bool InitInstance();
  void ExitInstance();
  void OnReceive();
  void CheckIdleTimeout(unsigned timer_id);
  void PostConnectionText(UINT msg);

  // SessionTransport
  bool IsConnectionLost() override;
  bool SendAll(std::string_view bytes) override;
  void Close() override;

  const ProtocolTexts& m_Texts;
  std::unique_ptr<CSessionSocket> m_pSession;
  platform::Socket m_Socket;
  UINT m_nWatch = 0;
  std::string m_strPeerAddress;
  std::int64_t m_tLastActivity;
  UINT m_nTimerId = 0;
  bool m_bQuitting = false;  // WM_QUIT posted: socket events are ignored
};

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
