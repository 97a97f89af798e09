// What the connection threads, the sessions and the relay need of the
// server, and nothing more: the server thread's queue with the messages it
// takes, the mail folder, the login check, the log level and the counting
// and listing of connections. The server object implements it; unit tests
// give a fake.
//
// Everything here may be called from any thread unless it says otherwise;
// texts reach the server thread only as WM_MAIL_* posts.
#pragma once

#include <memory>
#include <shared_mutex>
#include <string>

#include "common/log_level.h"
#include "platform/messages.h"

// The server thread's messages ("notification window" messages).
constexpr UINT WM_MAIL_CLIENT_CONNECTED = WM_USER + 200;     // heap text "address|SMTP", thread id
constexpr UINT WM_MAIL_CLIENT_DISCONNECTED = WM_USER + 201;  // the same
constexpr UINT WM_MAIL_LOG_TRACE = WM_USER + 202;            // heap text with its prefix, thread id
// Like WM_MAIL_LOG_TRACE, for a text to be written at level Error.
constexpr UINT WM_MAIL_LOG_ERROR = WM_USER + 203;
constexpr UINT WM_MAIL_DELIVER = WM_USER + 205;  // heap text: path of a spool file
constexpr UINT WM_MAIL_STOP = WM_USER + 206;
constexpr UINT WM_MAIL_RELOAD = WM_USER + 207;

class CConnectionThread;

class CServerLink {
 public:
  virtual ~CServerLink() = default;

  // The server thread's queue, target of every WM_MAIL_* post (0 while the
  // server does not run).
  virtual platform::ThreadId NotificationWindow() const = 0;
  // The mail folder text (a reload may replace it at any time).
  virtual std::string GetMailFolder() const = 0;
  // True when an account has this user name and password, both compared
  // without regard to case.
  virtual bool CheckLogin(const std::string& user, const std::string& password) = 0;
  // The trace log's level: a post for a line above it can be spared.
  virtual int GetLogLevel() const = 0;
  // The idle time-out of a session in seconds, read at every timer tick.
  virtual int GetTimeout() const = 0;

  // Connection threads count themselves in at their start and out at their
  // end, so that the limit does not depend on when the server thread gets
  // to their connect notices. Returns the count after the change: a thread
  // decides on its own result, so that two clients arriving together for
  // the last slot do not both see the other and both get refused.
  virtual int CountConnection(int delta) = 0;
  // True when more clients than the connections limit are connected beside
  // a connection thread whose counting in gave `connections`.
  virtual bool IsTooManyConnections(int connections) const = 0;
  // The same per client address, across the protocols: counts a connection
  // of `address` in or out and returns its count after the change.
  virtual int CountAddressConnection(const std::string& address, int delta) = 0;
  // True when one address would hold more than its share of the connections
  // with `connections` of its own.
  virtual bool IsTooManyFromAddress(int connections) const = 0;
  // Failed logins of a client address (AUTH, PASS), across the protocols:
  // while an address is locked out, its logins are refused unchecked.
  virtual bool IsLoginLocked(const std::string& address) = 0;
  virtual void RecordLoginFailure(const std::string& address) = 0;
  // The lists of live connection threads, under the connection lock: the
  // listener adds, the thread removes itself when it ends.
  virtual void AddConnection(bool smtp, std::shared_ptr<CConnectionThread> thread) = 0;
  virtual void RemoveConnection(bool smtp, const CConnectionThread* thread) = 0;
  // Hands the path of a finished spool file straight to the delivery
  // worker, so that no message wakes the server thread; false when no
  // worker takes it now (the caller posts WM_MAIL_DELIVER instead).
  virtual bool HandOverDelivery(const std::string& path) {
    (void)path;
    return false;
  }
  // True while the free memory of ended sessions is about to be returned to
  // the system: a session that ends meanwhile need not tell the server
  // thread about it unless its end is logged.
  virtual bool IsMemoryReturnDue() const { return false; }
};

// The link each connection thread holds: it forwards to the server until the
// server's stop empties it (Detach). A thread that did not end within the
// stop's wait goes on with an empty link and never touches the server
// object, which may be gone by then: every call answers as without a
// server (no mail folder, no login, nothing counted or listed, a time-out of
// 0 that ends the session at the next tick). Detach waits for the calls in
// progress; none of them waits for the server thread.
class CSharedServerLink final : public CServerLink {
 public:
  explicit CSharedServerLink(CServerLink* server) : m_pServer(server) {}
  // Empties the link; from its return on, the server is never called.
  void Detach();

  platform::ThreadId NotificationWindow() const override;
  std::string GetMailFolder() const override;
  bool CheckLogin(const std::string& user, const std::string& password) override;
  int GetLogLevel() const override;
  int GetTimeout() const override;
  int CountConnection(int delta) override;
  bool IsTooManyConnections(int connections) const override;
  int CountAddressConnection(const std::string& address, int delta) override;
  bool IsTooManyFromAddress(int connections) const override;
  bool IsLoginLocked(const std::string& address) override;
  void RecordLoginFailure(const std::string& address) override;
  void AddConnection(bool smtp, std::shared_ptr<CConnectionThread> thread) override;
  void RemoveConnection(bool smtp, const CConnectionThread* thread) override;
  bool HandOverDelivery(const std::string& path) override;
  bool IsMemoryReturnDue() const override;

 private:
  mutable std::shared_mutex m_Lock;  // shared by the calls, taken whole by Detach
  CServerLink* m_pServer;
};
