// The data phase of the SMTP session: after "354" every received byte is
// message text up to the first CR LF "." CR LF, wherever it falls: at the
// end of a read, inside one, or split over several. What follows the
// terminator is the next command line(s), taken as if it were a new read,
// so that a client that sends the final "." and QUIT together is answered
// both, and a second transaction hidden inside the text of one message is a
// transaction of the client's own, answered command by command, never text
// of the first. A stored message therefore never holds CR LF "." CR LF.
//
// The text goes to the spool file as it arrives, so memory stays bounded
// whatever the message size; the file holds exactly what a whole-message
// buffer would have produced:
//   - the stored text is the received text up to the terminator with
//     trailing white space and then trailing dots removed, which takes off
//     the terminating "." CR LF and nothing else; dot-stuffed lines keep
//     their extra dot; every byte is kept, NUL bytes too;
//   - the CR LF that ended the DATA line counts as the start of the text, so
//     a message of only "." CR LF is complete and stored empty.
// The spool file is created when the first part is written (the Received
// date is then taken) and committed before the reply; a file that cannot be
// created or written completely answers "451 ..." and nothing is kept.
//
// With a size limit, a text that grows past it is dropped as it arrives (the
// spool file goes at once, later bytes are only searched for the
// terminator) and its end is answered "552 ..."; nothing is kept.
#include "smtp/smtp_socket.h"

#include "common/text.h"
#include "net/server_link.h"

namespace {

constexpr std::string_view kTerminator = "\r\n.\r\n";
// The terminator when it is the first line of the text (the CR LF before it
// ended the DATA line).
constexpr std::string_view kTerminatorAtStart = kTerminator.substr(2);
// Bytes kept back from every write: a terminator that began in them is
// found once the next read brings the rest.
constexpr std::size_t kKeptTail = kTerminator.size() - 1;
constexpr const char* kLocalError = "451 Requested action aborted: local error in processing";
// The ".\r\n" of the terminator is not message text (its CR LF ends the last
// line of the text).
constexpr std::uint64_t kTerminatorOnly = 3;

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
  const std::size_t search_from = m_strMessage.size() > kKeptTail ? m_strMessage.size() - kKeptTail : 0;
  m_strMessage.append(text);
  m_nMessageBytes += text.size();
  const std::size_t end = FindMessageEnd(search_from);
  if (end == std::string::npos) {
    // Whatever else comes, the text is already longer than the limit.
    if (HasSizeLimit() && m_nMessageBytes > static_cast<std::uint64_t>(m_nMaxMessageSize) + kTerminatorOnly) {
      m_bMessageTooLarge = true;
    }
    if (m_bMessageTooLarge || m_strMessage.size() >= kMessageFlushSize) FlushMessageText();
    return;
  }
  std::string rest = m_strMessage.substr(end);
  m_strMessage.resize(end);
  const std::uint64_t text_bytes = m_nMessageBytes - rest.size();
  if (HasSizeLimit() && text_bytes > static_cast<std::uint64_t>(m_nMaxMessageSize) + kTerminatorOnly) {
    m_bMessageTooLarge = true;
  }
  if (!StoreMessage()) return;  // the connection is gone: nothing more to answer
  if (!rest.empty()) OnReceivedText(rest);
}

std::size_t CSmtpSocket::FindMessageEnd(std::size_t search_from) const {
  // Nothing written yet, so the text's first bytes are still here.
  const bool at_text_start = m_nMessageBytes == m_strMessage.size();
  if (at_text_start && std::string_view(m_strMessage).starts_with(kTerminatorAtStart)) {
    return kTerminatorAtStart.size();
  }
  const std::size_t found = m_strMessage.find(kTerminator, search_from);
  return found == std::string::npos ? found : found + kTerminator.size();
}

bool CSmtpSocket::OpenSpoolFile() {
  CServerLink* server = m_pThread ? m_pThread->Server() : nullptr;
  // No mail folder: the server has stopped (its link is empty).
  const std::string mail_folder = server ? server->GetMailFolder() : std::string();
  if (mail_folder.empty()) {
    m_Spool.Fail();
    return false;
  }
  if (!m_Spool.Begin(mail_folder, CreateQueueId())) return false;
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
  if (m_bMessageTooLarge) {
    m_Spool.Abandon();  // what was written of it goes now, not at its end
    m_strMessage.erase(0, m_strMessage.size() - kKeptTail);
    return;
  }
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
  return m_Spool.Write(last) && m_Spool.Commit();
}

bool CSmtpSocket::StoreMessage() {
  SetState(SMTP_STATE_READY);
  bool answered = false;
  // A MAIL in the same read as DATA runs as a command and empties the
  // transaction: such a message has nobody to go to. Nothing is queued (a
  // "250 OK: Queued as" would promise a delivery that never comes); the
  // client hears what DATA itself says without a sender or recipients.
  if (m_strFrom.empty() || m_arrRecipients.empty()) {
    answered = SendReply(m_strFrom.empty() ? "503 Need MAIL command" : "503 Need RCPT command");
  } else if (m_bMessageTooLarge) {
    answered = SendReply(kMessageTooLarge);
  } else if (WriteSpoolFile()) {
    answered = SendReply("250 OK: Queued as: %s", m_Spool.QueueId().c_str());
    // Handed over after its reply, sent or not: the delivery's log lines
    // follow the reply's.
    if (m_pThread) m_pThread->PostDeliver(m_Spool.Path());
  } else {
    answered = SendReply(kLocalError);
  }
  ResetTransaction();
  return answered;
}

void CSmtpSocket::ResetTransaction() {
  m_strFrom.clear();
  m_arrRecipients.clear();
  m_strMessage.clear();
  m_nMessageBytes = 0;
  m_bMessageTooLarge = false;
  m_Spool.Abandon();
}
