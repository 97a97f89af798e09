// What the SMTP and POP3 sessions share: the received text and the cutting of
// it into command lines, and SendReply. A session is lines in, replies out:
// the bytes move through a SessionTransport (the socket in the service, a
// recorder in unit tests) and everything else the session needs from its
// connection thread goes through CConnectionContext.
#pragma once

#include <list>
#include <string>
#include <string_view>

class CServerLink;

// The session's view of its connection thread.
class CConnectionContext {
 public:
  virtual ~CConnectionContext() = default;
  // Posts "<SMTP> " / "<POP3> " + text to the server thread's log.
  virtual void Log(std::string_view text) = 0;
  // Whether Log keeps its lines: a text made only for the log is spared
  // when it would be dropped.
  virtual bool IsLogging() const { return true; }
  // Restarts the idle time-out.
  virtual void TouchActivity() = 0;
  // Posts WM_QUIT to the connection's own thread (the session ends after the
  // current notification).
  virtual void PostQuit() = 0;
  // Hands the path of a finished spool file to the delivery worker (posts
  // WM_MAIL_DELIVER with it when the worker does not run).
  virtual void PostDeliver(const std::string& path) = 0;
  // The server, for the mail folder and the login check (null in tests
  // that need neither).
  virtual CServerLink* Server() = 0;
  virtual const std::string& PeerAddress() const = 0;

  // Encryption: whether the server has a certificate for this connection,
  // and whether the session is encrypted already.
  virtual bool IsTlsAvailable() const { return false; }
  virtual bool IsEncrypted() const { return false; }
  // After the session's "go ahead" reply: the bytes that follow are the
  // client's handshake.
  virtual void StartTls() {}

  // Holds the session for `ms` milliseconds: received text waits meanwhile,
  // and the session's EndDelay runs when the time is up (never when the
  // connection ends first).
  virtual void StartDelay(unsigned ms) = 0;
};

// The bytes of one connection: the socket in the service, a recorder in unit
// tests; a layer that encrypts can wrap the socket's transport.
class SessionTransport {
 public:
  virtual ~SessionTransport() = default;
  virtual bool IsConnectionLost() = 0;
  // Sends every byte, blocking; false on failure.
  virtual bool SendAll(std::string_view bytes) = 0;
  virtual void Close() = 0;
};

class CSessionSocket {
 public:
  // Limit of received text not yet cut into lines: a client that sends more
  // than this without CR LF is cut off (it cannot be a command line).
  static constexpr std::size_t kMaxReceived = 8192;
  // Failed logins of one connection (AUTH, PASS): the reply to each waits,
  // 1 s doubling up to 8 s, and the kMaxLoginFailures-th ends the
  // connection. Password guessing then costs a client seconds per guess,
  // however many guesses it sends at once.
  static constexpr int kMaxLoginFailures = 5;
  static constexpr unsigned kFirstLoginDelayMs = 1000;
  static constexpr unsigned kMaxLoginDelayMs = 8000;

  virtual ~CSessionSocket() = default;

  void Attach(CConnectionContext* thread, SessionTransport* transport) {
    m_pThread = thread;
    m_pTransport = transport;
  }

  // Bytes received by the connection thread, every one of them. Appends
  // them (less NUL bytes) to m_strReceived and cuts lines; sessions with a
  // data state override it.
  virtual void OnReceivedText(std::string_view text);
  // True when the next read of `count` bytes would overflow the receive limit.
  virtual bool WouldOverflow(std::size_t count) const;
  // Takes the first line of m_lstLines and runs it.
  virtual void ProcessCommand() = 0;
  // End-of-session work of the connection thread's end (POP3: deletion).
  virtual void OnSessionEnd() {}

  // Formats, checks the connection, sends text + CR LF in one send and logs
  // the reply. On a lost connection or failed send: logs "Could not send
  // reply, disconnected.", closes, posts WM_QUIT, returns false.
  bool SendReply(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool SendReplyText(std::string_view text);
  // A reply whose first `sent` bytes (of it and its CR LF) went out before
  // the session began (the greeting, sent by the accepting thread): the rest
  // is sent and the whole reply logged, as SendReplyText would.
  bool FinishReplyText(std::string_view reply, std::size_t sent);

  // Cuts complete CR LF lines out of m_strReceived into m_lstLines, calling
  // ProcessCommand once per non-empty line (and per empty one while
  // TakesEmptyLine).
  void CutLines();

  // The connection's delay is over: sends the reply held back for it, then
  // takes up the lines that waited.
  void EndDelay();
  bool IsDelayed() const { return m_bDelayed; }

  std::string m_strReceived;
  std::list<std::string> m_lstLines;
  CConnectionContext* m_pThread = nullptr;
  // Passwords only on an encrypted session (a copy taken at accept time).
  int m_bTlsAuthOnly = 0;

 protected:
  // A command line taken up: the line as received, its first word in upper
  // case and everything after the first space (kept as sent).
  struct CommandLine {
    std::string line;
    std::string word;
    std::string argument;
  };
  // The start of every ProcessCommand: takes the first line of m_lstLines,
  // splits it, logs it as "WORD argument" and notes the client's activity
  // (for the time-out). False when no line waits.
  bool TakeCommand(CommandLine& command);
  // How a sent reply is logged (POP3 shortens RETR replies).
  virtual void LogReply(std::string_view text);

  // Empty lines are no commands and are dropped, unless the session waits
  // for a line that may be empty (an answer in an AUTH exchange).
  virtual bool TakesEmptyLine() const { return false; }
  // Sends bytes of a reply as they are (a reply streamed in pieces sends
  // each with this, checking the connection before the first); fails the
  // way SendReply does, without logging the reply.
  bool SendBytes(std::string_view bytes, bool check_connection);
  void CloseConnection();
  // TLS can start: the server has a certificate and the session is plain.
  bool CanStartTls() const { return m_pThread && m_pThread->IsTlsAvailable() && !m_pThread->IsEncrypted(); }
  // The session may not take a password here: TlsAuthOnly on a plain session.
  bool NeedsTlsForPassword() const { return m_bTlsAuthOnly != 0 && !(m_pThread && m_pThread->IsEncrypted()); }
  // After the reply that lets the client start TLS: whatever was received
  // after that command line was sent in the clear and is thrown away (a
  // man in the middle could have added it), then the handshake begins.
  void BeginTls();
  // The login check of AUTH and PASS: refused without asking the server
  // while the client's address is locked out; a failure is counted for the
  // address.
  bool CheckClientLogin(const std::string& user, const std::string& password);
  // Answers a failed login after its delay with `failed`, or with `closing`
  // followed by the end of the connection at the kMaxLoginFailures-th.
  void ReplyLoginFailed(const char* failed, const char* closing);
  SessionTransport* m_pTransport = nullptr;

 private:
  int m_nLoginFailures = 0;
  bool m_bDelayed = false;  // no line is taken up until EndDelay
  bool m_bCloseAfterDelay = false;
  std::string m_strDelayedReply;
};
