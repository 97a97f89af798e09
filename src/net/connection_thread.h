// The connection framework, once for SMTP and POP3: one connection thread
// per accepted client with its admission checks (connection limit, IP
// filter), greeting, idle time-out, receive path and the hand-over of log
// texts to the server thread. The listeners are in listen_socket.h.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "net/server_link.h"
#include "net/session_socket.h"
#include "net/socket_transport.h"
#include "net/tls_transport.h"
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
                          private SessionTransport,
                          private CTlsEvents {
 public:
  // Bytes taken from the socket per receive notification.
  static constexpr std::size_t kReceiveChunk = 4096;
  static constexpr unsigned kTimerPeriodMs = 1000;
  // However busy it keeps itself, a session ends after this time: a client
  // cannot hold a slot for ever by sending a command now and then.
  static constexpr std::int64_t kMaxSessionSeconds = 30 * 60;

  CConnectionThread(const ProtocolTexts& texts, std::unique_ptr<CSessionSocket> session);
  ~CConnectionThread() override;

  // Filled by the listener before Start(); the settings are copies the
  // server made at accept time (NewConnectionThread).
  platform::ThreadId m_hNotifyWindow = 0;
  platform::Socket m_AcceptedSocket;
  int m_nIPFilterMode = 0;
  std::vector<std::string> m_arrIPFilter;
  // The thread's link to the server, shared with the server, which empties
  // it when it stops (see CSharedServerLink).
  std::shared_ptr<CServerLink> m_pServer;
  bool m_bSmtp = true;
  // The server's encryption when the connection was accepted (null: none),
  // and whether the connection is encrypted from its first byte (the
  // implicit TLS ports: the greeting waits for the handshake).
  std::shared_ptr<CTlsContext> m_pTlsContext;
  bool m_bImplicitTls = false;
  // The session's longest life (kMaxSessionSeconds; a test shortens it).
  std::int64_t m_nMaxSessionSeconds = kMaxSessionSeconds;

  bool IsAddressAllowed(const char* address) const;

  // On the accepting thread, before Start (else at the thread's start):
  // counts the client in, makes the admission checks (connection limit, the
  // address's share, IP filter) and sends an admitted client of a plain port
  // its greeting at once.
  void Admit();
  // Counts an admitted client out again; for a thread that will not run
  // (Start failed), and at the session's end.
  void ReleaseAdmission();

  // CConnectionContext
  void Log(std::string_view text) override;
  bool IsLogging() const override;
  void TouchActivity() override;
  void PostQuit() override;
  void PostDeliver(const std::string& path) override;
  CServerLink* Server() override { return m_pServer.get(); }
  const std::string& PeerAddress() const override { return m_strPeerAddress; }
  bool IsTlsAvailable() const override { return m_pTlsContext != nullptr; }
  bool IsEncrypted() const override { return m_bEncrypted; }
  void StartTls() override;
  void StartDelay(unsigned ms) override;

  CSessionSocket& Session() { return *m_pSession; }

 protected:
  void Run() override;
  void NotStarted() override { Abandon(); }

 private:
  // Closes the client of a thread that will not run, and counts it out.
  void Abandon();
  bool InitInstance();
  void ExitInstance();
  // One receive of at most kReceiveChunk bytes, handed on. Never inlined:
  // its chunk is on the stack only while it runs.
  __attribute__((noinline)) void ReceiveChunk();
  void OnReceive(platform::WatchEvents events);
  void CheckIdleTimeout(unsigned timer_id);
  void OnDelayOver(unsigned timer_id);
  void PostConnectionText(UINT msg);

  // SessionTransport: the bytes go through m_pTransport; closing also stops
  // watching the connection.
  bool IsConnectionLost() override;
  bool SendAll(std::string_view bytes) override;
  void Close() override;

  // CTlsEvents
  void OnTlsEstablished(const std::string& description) override;
  void OnTlsFailed(const std::string& reason) override;

  const ProtocolTexts& m_Texts;
  std::unique_ptr<CSessionSocket> m_pSession;
  std::unique_ptr<CConnectionTransport> m_pTransport;  // made from m_AcceptedSocket at start
  UINT m_nWatch = 0;
  enum class Admission { kPending, kAdmitted, kTooMany, kTooManyFromAddress, kForbidden };
  Admission m_eAdmission = Admission::kPending;  // pending: not counted in
  std::size_t m_nGreetingSent = 0;  // greeting bytes Admit sent
  std::string m_strPeerAddress;
  std::int64_t m_tLastActivity;
  std::int64_t m_tStarted;
  UINT m_nTimerId = 0;
  UINT m_nDelayTimer = 0;  // a session's delay runs (StartDelay)
  bool m_bQuitting = false;  // WM_QUIT posted: socket events are ignored
  bool m_bEncrypted = false;  // the transport is a CTlsTransport
};
