// The data phase of the SMTP session: after "354" every received text is
// message text until the text received so far ends with CR LF "." CR LF.
//
// The text goes to the spool file as it arrives, so memory stays bounded
// whatever the message size; the file holds exactly what a whole-message
// buffer would have produced:
//   - the end is tested on the text received so far, after each read, so a
//     terminator split over reads counts, and one followed by more text in
//     the same read does not;
//   - the stored text is the received text with trailing white space and
//     then trailing dots removed, which takes off the terminating "." CR LF
//     and nothing else; dot-stuffed lines keep their extra dot;
//   - the CR LF that ended the DATA line counts as the start of the text, so
//     a message of only "." CR LF is complete and stored empty.
// The spool file is created when the first part is written (the Received
// date is then taken) and committed before the reply; a file that cannot be
// created or written completely answers "451 ..." and nothing is kept.
#include "smtp/smtp_socket.h"

#include "common/text.h"
#include "net/server_link.h"

namespace {

constexpr std::string_view kTerminator = "\r\n.\r\n";
// Bytes kept back from every write: the end test needs the last five bytes
// of the text, and the next read brings at least one more.
constexpr std::size_t kKeptTail = kTerminator.size() - 1;
constexpr const char* kLocalError = "451 Requested action aborted: local error in processing";

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace

void CSmtpSocket::OnReceivedText(std::string_view text) {
  if (m_nState == SMTP_STATE_DATA) {
    ReceiveMessageText(text);
    return;
  }
  CSessionSocket::OnReceivedText(text);
}

void CSmtpSocket::ReceiveMessageText(std::string_view text) {
  // Message text does not refresh the idle time-out.
  m_strMessage.append(text);
  m_nMessageBytes += text.size();
  if (IsMessageComplete()) {
    StoreMessage();
    return;
  }
  if (m_strMessage.size() >= kMessageFlushSize) FlushMessageText();
}

bool CSmtpSocket::IsMessageComplete() const {
  if (EndsWith(m_strMessage, kTerminator)) return true;
  return m_nMessageBytes == kTerminator.size() - 2 && m_strMessage == kTerminator.substr(2);
}

bool CSmtpSocket::OpenSpoolFile() {
  CServerLink* server = m_pThread ? m_pThread->Server() : nullptr;
  if (server == nullptr) {
    m_Spool.Fail();
    return false;
  }
  if (!m_Spool.Begin(server->GetMailFolder(), CreateQueueId())) return false;
  return m_Spool.Write(BuildEnvelope());
}

std::string CSmtpSocket::BuildEnvelope() const {
  const std::string_view by = m_arrDomains.empty() ? std::string_view(kPlaceholderDomain)
                                                   : std::string_view(m_arrDomains.front());
  const std::string peer = m_pThread ? m_pThread->PeerAddress() : std::string();
  return BuildSpoolEnvelope(m_strFrom, m_arrRecipients, m_strHelo, peer, by, m_strServerID,
                            FormatGmtDate(CurrentUtcTime()));
}

void CSmtpSocket::FlushMessageText() {
  if (m_strMessage.size() <= kKeptTail) return;
  if (!m_Spool.IsOpen() && !m_Spool.HasFailed()) OpenSpoolFile();
  const std::size_t count = m_strMessage.size() - kKeptTail;
  // After a failure the text is only read to its end, to answer it.
  if (m_Spool.IsOpen()) m_Spool.Write(std::string_view(m_strMessage).substr(0, count));
  m_strMessage.erase(0, count);
}

bool CSmtpSocket::WriteSpoolFile() {
  if (!m_Spool.IsOpen() && !m_Spool.HasFailed()) OpenSpoolFile();
  if (!m_Spool.IsOpen()) return false;
  std::string last = text::TrimRight(m_strMessage);
  while (!last.empty() && last.back() == '.') last.pop_back();
  if (!m_Spool.Write(last) || !m_Spool.Commit()) return false;
  if (m_pThread) m_pThread->PostDeliver(m_Spool.Path());
  return true;
}

void CSmtpSocket::StoreMessage() {
  SetState(SMTP_STATE_READY);
  // A MAIL in the same read as DATA runs as a command and empties the
  // transaction: such a message has nobody to go to. Nothing is queued (a
  // "250 OK: Queued as" would promise a delivery that never comes); the
  // client hears what DATA itself says without a sender or recipients.
  if (m_strFrom.empty() || m_arrRecipients.empty()) {
    SendReply(m_strFrom.empty() ? "503 Need MAIL command" : "503 Need RCPT command");
    ResetTransaction();
    return;
  }
  if (WriteSpoolFile()) {
    SendReply("250 OK: Queued as: %s", m_Spool.QueueId().c_str());
  } else {
    SendReply(kLocalError);
  }
  ResetTransaction();
}

void CSmtpSocket::ResetTransaction() {
  m_strFrom.clear();
  m_arrRecipients.clear();
  m_strMessage.clear();
  m_nMessageBytes = 0;
  m_Spool.Abandon();
}
