// Receive-side line cutting and the reply path shared by the SMTP and POP3
// sessions.
#include "net/session_socket.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "common/text.h"
#include "net/server_link.h"

namespace {
constexpr const char* kLostConnection = "Could not send reply, disconnected.";
}

void CSessionSocket::OnReceivedText(std::string_view text) {
  // A NUL byte has no place in a command line: it is dropped, and the bytes
  // after it are taken as they come (dropping the rest of the read would
  // lose the command lines that follow, and leave the client waiting).
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t nul = text.find('\0', start);
    m_strReceived.append(text.substr(start, nul == std::string_view::npos ? nul : nul - start));
    if (nul == std::string_view::npos) break;
    start = nul + 1;
  }
  CutLines();
}

bool CSessionSocket::WouldOverflow(std::size_t count) const {
  return count + m_strReceived.size() > kMaxReceived;
}

void CSessionSocket::CutLines() {
  // A lone LF is no line end; text after the last CR LF waits for more.
  std::size_t start = 0;
  while (start < m_strReceived.size() && !m_bDelayed) {
    const std::size_t end = m_strReceived.find("\r\n", start);
    if (end == std::string::npos) break;
    std::string line = m_strReceived.substr(start, end - start);
    start = end + 2;
    if (line.empty() && !TakesEmptyLine()) continue;
    m_lstLines.push_back(std::move(line));
    // The session may change how further text is taken (SMTP DATA): keep
    // the rest for it, as the lines were cut so far.
    m_strReceived.erase(0, start);
    start = 0;
    ProcessCommand();
  }
  m_strReceived.erase(0, start);
}

bool CSessionSocket::SendReply(const char* format, ...) {
  // Most replies are fixed texts: they go as they are, unformatted.
  if (std::strchr(format, '%') == nullptr) return SendReplyText(format);
  va_list args;
  va_start(args, format);
  std::string reply = text::FormatV(format, args);
  va_end(args);
  return SendReplyText(reply);
}

bool CSessionSocket::SendReplyText(std::string_view reply) {
  std::string wire(reply);
  wire.append("\r\n");
  if (!SendBytes(wire, true)) return false;
  LogReply(reply);
  return true;
}

bool CSessionSocket::FinishReplyText(std::string_view reply, std::size_t sent) {
  std::string wire(reply);
  wire.append("\r\n");
  if (sent < wire.size() && !SendBytes(std::string_view(wire).substr(sent), false)) return false;
  LogReply(reply);
  return true;
}

bool CSessionSocket::SendBytes(std::string_view bytes, bool check_connection) {
  if (m_pTransport == nullptr || (check_connection && m_pTransport->IsConnectionLost())) {
    if (m_pThread) m_pThread->Log(kLostConnection);
    CloseConnection();
    return false;
  }
  if (!m_pTransport->SendAll(bytes)) {
    CloseConnection();
    if (m_pThread) m_pThread->Log(kLostConnection);
    return false;
  }
  return true;
}

void CSessionSocket::LogReply(std::string_view reply) {
  if (m_pThread) m_pThread->Log(reply);
}

bool CSessionSocket::TakeCommand(CommandLine& command) {
  if (m_lstLines.empty()) return false;
  command.line = std::move(m_lstLines.front());
  m_lstLines.pop_front();
  const std::size_t space = command.line.find(' ');
  command.word = text::ToUpper(command.line.substr(0, space));
  command.argument = space == std::string::npos ? std::string() : command.line.substr(space + 1);
  if (!m_pThread) return true;
  m_pThread->TouchActivity();
  if (!m_pThread->IsLogging()) return true;
  std::string logged = command.word;
  logged += ' ';
  logged += command.argument;
  // Stray control bytes inside a received line are made visible, so that one
  // received line stays one log line (a client cannot write log lines).
  m_pThread->Log(text::EscapeControls(logged));
  return true;
}

void CSessionSocket::BeginTls() {
  m_strReceived.clear();
  m_lstLines.clear();
  if (m_pThread) m_pThread->StartTls();
}

void CSessionSocket::CloseConnection() {
  if (m_pTransport) m_pTransport->Close();
  if (m_pThread) m_pThread->PostQuit();
}

bool CSessionSocket::CheckClientLogin(const std::string& user, const std::string& password) {
  CServerLink* server = m_pThread ? m_pThread->Server() : nullptr;
  if (server == nullptr) return false;
  const std::string& address = m_pThread->PeerAddress();
  if (server->IsLoginLocked(address)) return false;
  if (server->CheckLogin(user, password)) return true;
  server->RecordLoginFailure(address);
  return false;
}

void CSessionSocket::ReplyLoginFailed(const char* failed, const char* closing) {
  ++m_nLoginFailures;
  const int doublings = std::min(m_nLoginFailures - 1, 3);
  const unsigned delay_ms = std::min(kFirstLoginDelayMs << doublings, kMaxLoginDelayMs);
  m_bCloseAfterDelay = m_nLoginFailures >= kMaxLoginFailures;
  m_strDelayedReply = m_bCloseAfterDelay ? closing : failed;
  m_bDelayed = true;
  if (m_pThread) m_pThread->StartDelay(delay_ms);
}

void CSessionSocket::EndDelay() {
  if (!m_bDelayed) return;
  m_bDelayed = false;
  const std::string reply = std::move(m_strDelayedReply);
  m_strDelayedReply.clear();
  if (!SendReplyText(reply)) return;
  if (m_bCloseAfterDelay) {
    CloseConnection();
    return;
  }
  CutLines();
}
