// CSmtpClient hands one message to one remote mail server: connect, HELO,
// MAIL FROM, RCPT TO per recipient, DATA, the message text, QUIT. With
// encryption (SetTls) it says EHLO instead, and when the server offers
// STARTTLS it encrypts and says EHLO again; a server that refuses EHLO gets
// HELO. The relay
// thread creates one client per attempt, reads IsDelivered() afterwards and
// deletes it. Progress and every line sent or received (except the message
// text) go to a CSmtpClientSink; the client never writes the log itself.
//
// The client blocks its thread during the dialogue, but every wait for the
// server dispatches the thread's messages, timers and socket notifications
// (the thread's MessageQueue), so the relay thread stays responsive.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "net/tls_stream.h"

#include "platform/sockets.h"
#include "platform/win_types.h"

// What the owner of a client learns from it.
class CSmtpClientSink {
 public:
  virtual ~CSmtpClientSink() = default;
  // A line for the log: a sent command, a received reply line, or one of the
  // client's own messages.
  virtual void OnLog(const std::string& text) = 0;
  // The connection to the server has been made.
  virtual void OnConnected() = 0;
  // The connection has ended.
  virtual void OnDisconnected() = 0;
  // The server accepted the message (its reply to the end of the text),
  // before QUIT is sent: an owner that must never send it twice records it
  // here, not after a QUIT that may take the whole time-out.
  virtual void OnAccepted() {}
};

// The message text a client sends after DATA, handed out piece by piece so
// that a large message never has to be held whole.
class CMessageSource {
 public:
  virtual ~CMessageSource() = default;
  // Appends the next piece of the text, in transfer form, to `out` and sets
  // `done` with the last one; the text ends without its final line break.
  // False when the text cannot be read: the client then closes the
  // connection without ending the text, so the server never takes a part
  // of the message for the whole.
  virtual bool ReadText(std::string& out, bool& done) = 0;
};

class CSmtpClient {
 public:
  // Dialogue states: what was sent last.
  enum State {
    kStateGreeting = 0,  // connected, waiting for the greeting
    kStateHelo = 1,
    kStateMailFrom = 2,
    kStateRcptTo = 3,
    kStateData = 4,
    kStateBody = 5,
    kStateQuit = 6,
    kStateEhlo = 7,      // with encryption only
    kStateStartTls = 8,  // with encryption only
  };
  // Per-line time limit when no (or no positive) time-out is set.
  static constexpr DWORD kDefaultTimeoutMs = 30000;
  // How long the reply to the end of the message text may take (RFC 5321
  // 4.5.3.2.6): the server may scan the message first, and a reply given up
  // on too soon makes the owner send the message again elsewhere.
  static constexpr DWORD kFinalReplyTimeoutMs = 10 * 60 * 1000;
  // RFC 5321 4.5.3.1.5 allows 512 octets per reply line; bytes past this
  // limit are dropped so a server cannot fill memory with one endless line.
  static constexpr std::size_t kMaxLineLength = 1024;
  // A reply with more lines than this is not a reply but a flood; reading
  // it fails (code 0) instead of keeping the client busy forever.
  static constexpr int kMaxReplyLines = 1000;

  explicit CSmtpClient(CSmtpClientSink* sink = nullptr) : m_pSink(sink) {}
  // Closes the socket if it is still open; sends no QUIT and reports nothing.
  ~CSmtpClient() = default;
  CSmtpClient(const CSmtpClient&) = delete;
  CSmtpClient& operator=(const CSmtpClient&) = delete;

  void SetHeloName(const std::string& name) { m_strHeloName = name; }
  // Seconds a reply line (and the connect) may take; 0 or less: 30.
  void SetTimeout(int seconds) { m_nTimeout = seconds; }
  // Encrypt where the server offers STARTTLS (null: the HELO dialogue).
  void SetTls(std::shared_ptr<CTlsContext> context) { m_pTlsContext = std::move(context); }
  bool IsEncrypted() const { return m_pTls != nullptr; }

  // Runs the whole dialogue with host:port. recipients: one or more
  // recipients separated by ","; message: the text after DATA (read during
  // the dialogue). False only when no connection was made; the outcome of
  // the dialogue is IsDelivered(). When the TLS handshake fails, the
  // dialogue runs once more on a new connection, unencrypted.
  bool TransmitMessage(const std::string& host, int port, const std::string& sender,
                       const std::string& recipients, CMessageSource& message);
  bool IsDelivered() const { return m_bDelivered; }
  bool IsConnected() const { return m_bConnected; }
  // The whole message text, with its end, went out: the server may have
  // taken the message even when no acceptance was read.
  bool IsTextSent() const { return m_bTextSent; }
  // The last reply read (its lines joined by LF), or what came of it before
  // the time-out or the end of the connection.
  const std::string& LastReply() const { return m_strReply; }

  // If connected: closes the socket and reports OnDisconnected.
  void Disconnect();

 private:
  // Socket notifications: the connect succeeded; the server closed.
  void OnConnect(int error_code);
  void OnClose(int error_code);

  // One connection and dialogue; `try_tls`: EHLO and STARTTLS.
  bool RunDialogue(const std::string& host, int port, const std::string& sender,
                   const std::string& recipients, CMessageSource& message, bool try_tls);
  bool ReadLine(std::string& line);
  // One receive over the socket or the encryption: as Socket::Receive.
  long Receive(char* buffer, std::size_t size, bool& would_block);
  // After the server's "220" to STARTTLS: the handshake, bounded by the
  // time-out. False when it failed (the dialogue ends).
  bool StartTls();
  bool OffersStartTls() const;
  int ReadReply();
  bool OnReply(int code);
  bool SendLine(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool SendBody();
  bool SendText(const std::string& text, bool logged);
  bool SendBytes(const std::string& bytes);
  bool IsConnectionLost();
  bool WaitReadable(std::uint64_t deadline);
  DWORD TimeoutMs() const;
  void Log(const std::string& text);

  CSmtpClientSink* m_pSink = nullptr;  // not owned; may be null
  std::string m_strHeloName;
  int m_nTimeout = 0;  // seconds
  bool m_bDelivered = false;
  DWORD m_nTimeoutMs = kDefaultTimeoutMs;
  std::string m_strReply;
  bool m_bConnected = false;
  int m_nState = kStateGreeting;
  std::string m_strSender;
  std::list<std::string> m_lstRecipients;  // still to be sent with RCPT TO
  CMessageSource* m_pMessage = nullptr;    // during TransmitMessage only
  bool m_bTextSent = false;

  std::shared_ptr<CTlsContext> m_pTlsContext;
  bool m_bTryTls = false;     // this dialogue says EHLO and takes STARTTLS
  bool m_bTlsFailed = false;  // its handshake failed: the dialogue ended
  platform::Socket m_socket;
  std::unique_ptr<CTlsStream> m_pTls;  // over m_socket, after STARTTLS
  std::string m_strReceived;  // received bytes not yet cut into lines
  bool m_bAnswerDue = false;  // a command (or the connect) went out since the last receive
};
