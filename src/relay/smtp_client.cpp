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
// Any other code ends the dialogue without QUIT; the connection stays open
// until the owner deletes the client (or the server closes it).
#include "relay/smtp_client.h"

#include <cstdarg>
#include <cstdlib>

#include "common/text.h"
#include "platform/messages.h"
#include "platform/sync.h"

namespace {

// One receive takes at most this much; what follows a line stays buffered.
constexpr std::size_t kReceiveChunk = 4096;

// The number formed by the first three characters (the reply code).
int ReplyCode(const std::string& strText) { return std::atoi(strText.substr(0, 3).c_str()); }

// A reply line ends its reply unless its fourth character is "-".
bool IsLastLine(const std::string& strLine) { return strLine.size() < 4 || strLine[3] != '-'; }

}  // namespace

bool CSmtpClient::TransmitMessage(const std::string& strHost, int nPort,
                                  const std::string& strSender, const std::string& strRecipients,
                                  const std::string& strMessage) {
  if (m_bConnected) Disconnect();
  m_socket.Close();
  m_strReceived.clear();
  m_lstRecipients.clear();
  m_nState = kStateGreeting;
  m_bDelivered = false;

  const DWORD nConnectMs = TimeoutMs();
  m_socket = platform::Socket::Connect(strHost, nPort, nConnectMs);
  if (!m_socket.IsValid()) {
    Log("Cannot connect to remote server.");
    return false;
  }
  // Receives never block; a send waits at most the time-out for a server
  // that takes nothing.
  m_socket.SetNonBlocking(true);
  m_socket.SetSendTimeout(nConnectMs);
  m_bConnected = true;
  OnConnect(0);

  for (const std::string& strField : text::Split(strRecipients, ','))
    m_lstRecipients.push_back(text::TrimLeft(strField));
  m_strSender = strSender;
  m_strMessage = strMessage;

  while (OnReply(ReadReply())) {
  }
  return true;
}

void CSmtpClient::Disconnect() {
  if (!m_bConnected) return;
  m_socket.Close();
  m_bConnected = false;
  if (m_pSink) m_pSink->OnDisconnected();
}

void CSmtpClient::OnConnect(int /*nErrorCode*/) {
  if (m_pSink) m_pSink->OnConnected();
  Log("Connected to SMTP host");
}

void CSmtpClient::OnClose(int /*nErrorCode*/) {
  m_socket.Close();
  m_bConnected = false;
  if (m_pSink) m_pSink->OnDisconnected();
  Log("Connection closed.");
}

bool CSmtpClient::OnReply(int nCode) {
  switch (m_nState) {
    case kStateGreeting:
      if (nCode != 220) {
        Log("Invalid response, expecting 220.");
        m_bDelivered = false;
        return false;
      }
      m_nState = kStateHelo;
      SendLine("HELO %s", m_strHeloName.c_str());
      return true;

    case kStateHelo:
    case kStateMailFrom:
    case kStateRcptTo:
    case kStateBody:
      if (nCode != 250) {
        Log("Invalid response, expecting 250.");
        m_bDelivered = false;
        return false;
      }
      m_bDelivered = true;
      if (m_nState == kStateHelo) {
        m_nState = kStateMailFrom;
        SendLine("MAIL FROM: %s", m_strSender.c_str());
      } else if (m_nState == kStateBody) {
        m_nState = kStateQuit;
        SendLine("QUIT");
      } else if (!m_lstRecipients.empty()) {
        m_nState = kStateRcptTo;
        const std::string strRecipient = m_lstRecipients.front();
        m_lstRecipients.pop_front();
        SendLine("RCPT TO: %s", strRecipient.c_str());
      } else {
        m_nState = kStateData;
        SendLine("DATA");
      }
      return true;

    case kStateData:
      if (nCode != 354) {
        Log("Invalid response, expecting 354.");
        m_bDelivered = false;
        return false;
      }
      m_nState = kStateBody;
      SendBody();
      m_bDelivered = true;
      return true;

    case kStateQuit:
      // The message was accepted before QUIT: it counts as delivered
      // whatever the answer to QUIT is.
      if (nCode == 221)
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
  bool bMultiLine = false;
  int nCode = 0;
  int nLines = 0;
  std::string strLine;
  while (ReadLine(strLine)) {
    m_strReply += strLine;
    if (++nLines > kMaxReplyLines) {
      m_strReply.clear();
      break;
    }
    if (strLine.size() < 3) continue;
    if (!bMultiLine) {
      if (IsLastLine(strLine)) break;
      nCode = ReplyCode(strLine);
      bMultiLine = true;
    } else if (ReplyCode(strLine) == nCode && IsLastLine(strLine)) {
      break;
    }
    m_strReply += "\n";
  }
  return ReplyCode(m_strReply);
}

bool CSmtpClient::ReadLine(std::string& strLine) {
  m_nTimeoutMs = TimeoutMs();
  const std::uint64_t nDeadline = platform::TickCountMs() + m_nTimeoutMs;
  strLine.clear();
  for (;;) {
    // Take what was received already, up to the line feed; carriage
    // returns are dropped, bytes past the line limit too.
    const std::size_t nFeed = m_strReceived.find('\n');
    const std::size_t nTake = nFeed == std::string::npos ? m_strReceived.size() : nFeed;
    for (std::size_t i = 0; i < nTake; ++i)
      if (m_strReceived[i] != '\r' && strLine.size() < kMaxLineLength)
        strLine.push_back(m_strReceived[i]);
    if (nFeed != std::string::npos) {
      m_strReceived.erase(0, nFeed + 1);
      Log(strLine);
      return true;
    }
    m_strReceived.clear();

    if (!m_socket.IsValid() || platform::TickCountMs() >= nDeadline) return false;
    char buffer[kReceiveChunk];
    const long n = m_socket.Receive(buffer, sizeof buffer);
    if (n > 0) {
      m_strReceived.assign(buffer, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) {
      OnClose(0);
      return false;
    }
    if (platform::LastSocketError() != WSAEWOULDBLOCK) return false;
    if (!WaitReadable(nDeadline)) return false;
  }
}

bool CSmtpClient::WaitReadable(std::uint64_t nDeadline) {
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  bool bReadable = false;
  const UINT nWatch = queue.WatchFd(m_socket.fd(), platform::WATCH_READABLE,
                                    [&bReadable](platform::WatchEvents) { bReadable = true; });
  bool bOk = true;
  while (!bReadable) {
    const std::uint64_t nNow = platform::TickCountMs();
    if (nNow >= nDeadline) break;  // the caller sees the deadline passed
    if (!queue.PumpOnce(static_cast<DWORD>(nDeadline - nNow))) {
      bOk = false;  // WM_QUIT: the thread is ending
      break;
    }
  }
  queue.UnwatchFd(nWatch);
  return bOk;
}

bool CSmtpClient::SendLine(const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  const std::string strText = text::FormatV(pszFormat, args);
  va_end(args);
  return SendText(strText, true);
}

bool CSmtpClient::SendBody() { return SendText(m_strMessage, false); }

bool CSmtpClient::SendText(const std::string& strText, bool bLog) {
  if (IsConnectionLost()) {
    Log("Could not send reply, disconnected.");
    m_socket.Close();
    return false;
  }
  if (!m_socket.SendAll(strText + "\r\n")) {
    m_socket.Close();
    Log("Could not send reply, disconnected.");
    return false;
  }
  if (bLog) Log(strText);
  return true;
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
  const int nError = platform::LastSocketError();
  return nError == WSAENETRESET || nError == WSAECONNABORTED || nError == WSAECONNRESET ||
         nError == WSAEINVAL;
}

DWORD CSmtpClient::TimeoutMs() const {
  // A time-out of 0 would fail every read at once: the default instead.
  return m_nTimeout > 0 ? static_cast<DWORD>(m_nTimeout) * 1000u : kDefaultTimeoutMs;
}

void CSmtpClient::Log(const std::string& strText) {
  if (m_pSink) m_pSink->OnLog(strText);
}
