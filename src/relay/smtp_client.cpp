// CSmtpClient: the outbound SMTP dialogue (see smtp_client.h).
//
// The dialogue is a loop: read one reply, hand its code to OnReply, which
// sends the next command and says whether to go on. OnReply is the only
// place that changes the state:
//
//   state  sent          expects  then
//   0      (connected)   220      HELO
//   1      HELO          250      MAIL FROM
//   2      MAIL FROM     250      RCPT TO (first recipient)
//   3      RCPT TO       250      RCPT TO (next) or DATA
//   4      DATA          354      message text
//   5      message text  250      QUIT
//   6      QUIT          221      disconnect
//
// With encryption the greeting is answered with EHLO:
//   7      EHLO          250      STARTTLS when offered (and not encrypted
//                                 yet), else MAIL FROM; any other code: HELO
//   8      STARTTLS      220      the handshake, then EHLO again; any other
//                                 code: MAIL FROM unencrypted
//
// Any other code ends the dialogue without QUIT; the connection stays open
// until the owner deletes the client (or the server closes it).
#include "relay/smtp_client.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>

#include "common/text.h"
#include "platform/messages.h"
#include "platform/sync.h"

namespace {

// One receive takes at most this much; what follows a line stays buffered.
constexpr std::size_t kReceiveChunk = 4096;
// The message text goes out in sends of about this size (the last one
// smaller); a piece the source gives is never split.
constexpr std::size_t kSendChunk = 64 * 1024;

// The number formed by the first three characters (the reply code).
int ReplyCode(const std::string& text) { return std::atoi(text.substr(0, 3).c_str()); }

// A reply line ends its reply unless its fourth character is "-".
bool IsLastLine(const std::string& line) { return line.size() < 4 || line[3] != '-'; }

}  // namespace

bool CSmtpClient::TransmitMessage(const std::string& host, int port,
                                  const std::string& sender, const std::string& recipients,
                                  CMessageSource& message) {
  if (!RunDialogue(host, port, sender, recipients, message, m_pTlsContext != nullptr)) return false;
  if (!m_bTlsFailed) return true;
  // The handshake failed before any of the message went out: the server
  // gets it unencrypted, as without encryption (opportunistic encryption
  // must not keep mail from a server whose TLS is broken or too old).
  Log("Trying again without TLS.");
  return RunDialogue(host, port, sender, recipients, message, false);
}

bool CSmtpClient::RunDialogue(const std::string& host, int port, const std::string& sender,
                              const std::string& recipients, CMessageSource& message, bool try_tls) {
  if (m_bConnected) Disconnect();
  m_pTls.reset();
  m_socket.Close();
  m_strReceived.clear();
  m_lstRecipients.clear();
  m_nState = kStateGreeting;
  m_bDelivered = false;
  m_bTextSent = false;
  m_bTryTls = try_tls;
  m_bTlsFailed = false;

  const DWORD connect_ms = TimeoutMs();
  // Receives never block; a send waits at most the time-out for a server
  // that takes nothing.
  m_socket = platform::Socket::Connect(host, port, connect_ms, platform::Socket::Mode::kNonBlocking);
  if (!m_socket.IsValid()) {
    Log("Cannot connect to remote server.");
    return false;
  }
  m_socket.SetSendTimeout(connect_ms);
  m_bConnected = true;
  m_bAnswerDue = true;  // the greeting
  OnConnect(0);

  for (const std::string& field : text::Split(recipients, ','))
    m_lstRecipients.push_back(text::TrimLeft(field));
  m_strSender = sender;
  m_pMessage = &message;

  while (OnReply(ReadReply())) {
  }
  m_pMessage = nullptr;
  return true;
}

void CSmtpClient::Disconnect() {
  if (!m_bConnected) return;
  m_socket.Close();
  m_bConnected = false;
  if (m_pSink) m_pSink->OnDisconnected();
}

void CSmtpClient::OnConnect(int /*error_code*/) {
  if (m_pSink) m_pSink->OnConnected();
  Log("Connected to SMTP host");
}

void CSmtpClient::OnClose(int /*error_code*/) {
  m_socket.Close();
  m_bConnected = false;
  if (m_pSink) m_pSink->OnDisconnected();
  Log("Connection closed.");
}

bool CSmtpClient::OnReply(int code) {
  switch (m_nState) {
    case kStateGreeting:
      if (code != 220) {
        Log("Invalid response, expecting 220.");
        m_bDelivered = false;
        return false;
      }
      if (m_bTryTls) {
        m_nState = kStateEhlo;
        SendLine("EHLO %s", m_strHeloName.c_str());
        return true;
      }
      m_nState = kStateHelo;
      SendLine("HELO %s", m_strHeloName.c_str());
      return true;

    case kStateEhlo:
      if (code != 250) {
        // A server that knows no EHLO is spoken to as without encryption.
        m_nState = kStateHelo;
        SendLine("HELO %s", m_strHeloName.c_str());
        return true;
      }
      m_bDelivered = true;
      if (!m_pTls && OffersStartTls()) {
        m_nState = kStateStartTls;
        SendLine("STARTTLS");
      } else {
        m_nState = kStateMailFrom;
        SendLine("MAIL FROM: %s", m_strSender.c_str());
      }
      return true;

    case kStateStartTls:
      if (code != 220) {
        // Opportunistic: a refusal leaves the session as it was.
        m_nState = kStateMailFrom;
        SendLine("MAIL FROM: %s", m_strSender.c_str());
        return true;
      }
      if (!StartTls()) {
        m_bDelivered = false;
        return false;
      }
      m_nState = kStateEhlo;
      SendLine("EHLO %s", m_strHeloName.c_str());
      return true;

    case kStateHelo:
    case kStateMailFrom:
    case kStateRcptTo:
    case kStateBody:
      if (code != 250) {
        Log("Invalid response, expecting 250.");
        m_bDelivered = false;
        return false;
      }
      m_bDelivered = true;
      if (m_nState == kStateHelo) {
        m_nState = kStateMailFrom;
        SendLine("MAIL FROM: %s", m_strSender.c_str());
      } else if (m_nState == kStateBody) {
        if (m_pSink) m_pSink->OnAccepted();
        m_nState = kStateQuit;
        SendLine("QUIT");
      } else if (!m_lstRecipients.empty()) {
        m_nState = kStateRcptTo;
        const std::string recipient = m_lstRecipients.front();
        m_lstRecipients.pop_front();
        SendLine("RCPT TO: %s", recipient.c_str());
      } else {
        m_nState = kStateData;
        SendLine("DATA");
      }
      return true;

    case kStateData:
      if (code != 354) {
        Log("Invalid response, expecting 354.");
        m_bDelivered = false;
        return false;
      }
      m_nState = kStateBody;
      m_bTextSent = SendBody();
      m_bDelivered = true;
      return true;

    case kStateQuit:
      // The message was accepted before QUIT: it counts as delivered
      // whatever the answer to QUIT is.
      if (code == 221)
        Disconnect();
      else
        Log("Invalid response, expecting 221.");
      return false;

    default:
      return false;
  }
}

int CSmtpClient::ReadReply() {
  m_strReply.clear();
  bool multi_line = false;
  int code = 0;
  int lines = 0;
  std::string line;
  while (ReadLine(line)) {
    m_strReply += line;
    if (++lines > kMaxReplyLines) {
      m_strReply.clear();
      break;
    }
    if (line.size() < 3) continue;
    if (!multi_line) {
      if (IsLastLine(line)) break;
      code = ReplyCode(line);
      multi_line = true;
    } else if (ReplyCode(line) == code && IsLastLine(line)) {
      break;
    }
    m_strReply += "\n";
  }
  return ReplyCode(m_strReply);
}

bool CSmtpClient::OffersStartTls() const {
  // The reply's lines, each "250-" or "250 " and a keyword.
  for (const std::string& line : text::Split(m_strReply, '\n')) {
    if (line.size() < 4) continue;
    const std::string keyword = text::ToUpper(text::Trim(line.substr(4)));
    if (keyword == "STARTTLS") return true;
  }
  return false;
}

bool CSmtpClient::StartTls() {
  // Anything the server sent after its "220" came in the clear: dropped.
  m_strReceived.clear();
  m_pTls = std::make_unique<CTlsStream>(m_pTlsContext, m_socket);
  const std::uint64_t deadline = platform::TickCountMs() + TimeoutMs();
  for (;;) {
    const CTlsStream::Result result = m_pTls->IsValid() ? m_pTls->Handshake() : CTlsStream::Result::kFailed;
    if (result == CTlsStream::Result::kDone) break;
    if (result == CTlsStream::Result::kFailed || platform::TickCountMs() >= deadline || !WaitReadable(deadline)) {
      Log("TLS negotiation failed: " + (result == CTlsStream::Result::kFailed ? m_pTls->ErrorText()
                                                                               : std::string("time-out")));
      m_pTls.reset();
      m_bTlsFailed = true;
      Disconnect();
      return false;
    }
  }
  Log("TLS established: " + m_pTls->Description());
  return true;
}

long CSmtpClient::Receive(char* buffer, std::size_t size, bool& would_block) {
  if (m_pTls) {
    const long n = m_pTls->Read(buffer, size);
    would_block = n < 0 && m_pTls->WouldBlock();
    if (n < 0 && !would_block) Log("TLS error: " + m_pTls->ErrorText());
    return n;
  }
  const long n = m_socket.Receive(buffer, size);
  would_block = n < 0 && platform::LastSocketError() == WSAEWOULDBLOCK;
  return n;
}

bool CSmtpClient::ReadLine(std::string& line) {
  m_nTimeoutMs = TimeoutMs();
  const std::uint64_t deadline = platform::TickCountMs() + m_nTimeoutMs;
  line.clear();
  for (;;) {
    // Take what was received already, up to the line feed; carriage
    // returns are dropped, bytes past the line limit too.
    const std::size_t feed = m_strReceived.find('\n');
    const std::size_t take = feed == std::string::npos ? m_strReceived.size() : feed;
    for (std::size_t i = 0; i < take; ++i)
      if (m_strReceived[i] != '\r' && line.size() < kMaxLineLength)
        line.push_back(m_strReceived[i]);
    if (feed != std::string::npos) {
      m_strReceived.erase(0, feed + 1);
      Log(line);
      return true;
    }
    m_strReceived.clear();

    if (!m_socket.IsValid() || platform::TickCountMs() >= deadline) return false;
    // Right after a command the answer cannot be there yet: wait for it
    // first rather than find the socket empty (a TLS stream may hold
    // decrypted bytes the socket no longer shows: it is read first).
    if (m_bAnswerDue && !m_pTls && !WaitReadable(deadline)) return false;
    m_bAnswerDue = false;
    // Received straight into the (empty) buffer of received bytes.
    m_strReceived.resize(kReceiveChunk);
    bool would_block = false;
    const long n = Receive(m_strReceived.data(), m_strReceived.size(), would_block);
    m_strReceived.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    if (n > 0) continue;
    if (n == 0) {
      OnClose(0);
      return false;
    }
    if (!would_block) return false;
    if (!WaitReadable(deadline)) return false;
  }
}

bool CSmtpClient::WaitReadable(std::uint64_t deadline) {
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  bool readable = false;
  const UINT watch = queue.WatchFd(m_socket.fd(), platform::WATCH_READABLE,
                                    [&readable](platform::WatchEvents) { readable = true; });
  bool ok = true;
  while (!readable) {
    const std::uint64_t now = platform::TickCountMs();
    if (now >= deadline) break;  // the caller sees the deadline passed
    if (!queue.PumpOnce(static_cast<DWORD>(deadline - now))) {
      ok = false;  // WM_QUIT: the thread is ending
      break;
    }
  }
  queue.UnwatchFd(watch);
  return ok;
}

bool CSmtpClient::SendLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = text::FormatV(format, args);
  va_end(args);
  return SendText(text, true);
}

bool CSmtpClient::SendBody() {
  if (IsConnectionLost()) {
    Log("Could not send reply, disconnected.");
    m_socket.Close();
    return false;
  }
  // Pieces are gathered up to kSendChunk and sent together, the final line
  // break with the last of them: a small message goes out in one send, which
  // wakes the server once instead of three times. The text is not logged.
  std::string pending;
  for (bool done = false; !done;) {
    const std::size_t gathered = pending.size();
    if (!m_pMessage->ReadText(pending, done)) {
      // The pieces read go out as they would have one by one; without the
      // end of the text the server keeps nothing of it.
      pending.resize(gathered);
      if (!pending.empty() && !SendBytes(pending)) return false;
      Disconnect();
      Log("Could not read the message text, disconnected.");
      return false;
    }
    if (done) pending += "\r\n";
    if (!done && pending.size() < kSendChunk) continue;
    if (!SendBytes(pending)) return false;
    pending.clear();
  }
  return true;
}

bool CSmtpClient::SendText(const std::string& text, bool logged) {
  if (IsConnectionLost()) {
    Log("Could not send reply, disconnected.");
    m_socket.Close();
    return false;
  }
  if (!SendBytes(text + "\r\n")) return false;
  if (logged) Log(text);
  return true;
}

bool CSmtpClient::SendBytes(const std::string& bytes) {
  if (m_pTls ? m_pTls->Write(bytes) : m_socket.SendAll(bytes)) {
    m_bAnswerDue = true;
    return true;
  }
  m_socket.Close();
  Log("Could not send reply, disconnected.");
  return false;
}

bool CSmtpClient::IsConnectionLost() {
  if (!m_socket.IsValid()) return true;
  // Bytes the server sent that are not read yet: it was alive then, as a
  // peek at the socket would show.
  if (!m_strReceived.empty()) return false;
  if (m_socket.PollReadable(0) != 1) return false;
  const long n = m_socket.PeekOne();
  if (n > 0) return false;
  if (n == 0) return true;
  const int error = platform::LastSocketError();
  return error == WSAENETRESET || error == WSAECONNABORTED || error == WSAECONNRESET ||
         error == WSAEINVAL;
}

DWORD CSmtpClient::TimeoutMs() const {
  // A time-out of 0 would fail every read at once: the default instead.
  const DWORD timeout_ms = m_nTimeout > 0 ? static_cast<DWORD>(m_nTimeout) * 1000u : kDefaultTimeoutMs;
  if (m_nState == kStateBody) return std::max(timeout_ms, kFinalReplyTimeoutMs);
  return timeout_ms;
}

void CSmtpClient::Log(const std::string& text) {
  if (m_pSink) m_pSink->OnLog(text);
}
