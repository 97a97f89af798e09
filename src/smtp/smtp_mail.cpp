// The transaction commands of the SMTP session (MAIL, RCPT, DATA, RSET) and
// the policy they apply: blocked senders, forward rules and the rule that a
// recipient outside the local domains needs authentication (AuthRemote).
#include "smtp/smtp_socket.h"

#include <algorithm>

#include "common/address.h"
#include "common/text.h"
#include "net/server_link.h"
#include "platform/disk_space.h"
#include "smtp/smtp_forward.h"

namespace {

constexpr const char* kSyntaxError = "501 Syntax error in parameters or arguments";

// The path of a MAIL or RCPT text: "<...>" up to its closing bracket, else
// the text up to the first blank; parameters follow it.
std::string_view PathOf(std::string_view text) {
  if (text.starts_with('<')) {
    const std::size_t close = text.find('>');
    return close == std::string_view::npos ? text : text.substr(0, close + 1);
  }
  return text.substr(0, text.find_first_of(" \t"));
}

bool IsTooLong(std::string_view text) {
  // An address written without brackets counts as the path it stands for.
  const std::string_view path = PathOf(text);
  const std::size_t path_size = path.starts_with('<') ? path.size() : path.size() + 2;
  return text.size() > CSmtpSocket::kMaxAddressText || path_size > CSmtpSocket::kMaxPath;
}

}  // namespace

void CSmtpSocket::OnMail(const std::string& argument) {
  // MAIL starts a new transaction.
  ResetTransaction();
  // Only the upper-case prefix is taken off: "from:" stays part of the sender.
  m_strFrom = text::StartsWith(argument, "FROM:") ? text::Trim(argument.substr(5)) : argument;
  if (IsTooLong(m_strFrom)) {
    m_strFrom.clear();
    SendReply(kSyntaxError);
    return;
  }
  if (IsStorageLow()) {
    m_strFrom.clear();
    SendReply("452 4.3.1 Insufficient system storage");
    return;
  }
  if (IsDeclaredSizeTooLarge(argument)) {
    m_strFrom.clear();
    SendReply(kMessageTooLarge);
    return;
  }
  if (IsSenderBlocked(m_strFrom)) {
    m_strFrom.clear();
    SendReply("550 Sender verify failed");
    return;
  }
  SendReply("250 OK");
}

bool CSmtpSocket::IsStorageLow() const {
  CServerLink* server = m_pThread ? m_pThread->Server() : nullptr;
  if (server == nullptr) return false;
  std::uint64_t free_bytes = 0;
  // A folder that cannot be examined is no reason to refuse mail: writing
  // the message reports its own errors.
  if (!platform::FreeDiskSpace(server->GetMailFolder(), free_bytes)) return false;
  const std::uint64_t largest = HasSizeLimit() ? static_cast<std::uint64_t>(m_nMaxMessageSize) : 0;
  return free_bytes < std::max(kMinFreeSpace, 2 * largest);
}

bool CSmtpSocket::IsDeclaredSizeTooLarge(std::string_view argument) const {
  if (!HasSizeLimit()) return false;
  // The parameters follow the path, separated by blanks: "SIZE=n" among them.
  for (const std::string& word : text::Split(argument, ' ')) {
    if (!text::StartsWithNoCase(word, "SIZE=")) continue;
    const std::string digits = word.substr(5);
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    // More digits than any int has is above every limit.
    return digits.size() > 10 || std::stoull(digits) > static_cast<unsigned long long>(m_nMaxMessageSize);
  }
  return false;
}

void CSmtpSocket::OnRcpt(const std::string& argument) {
  if (m_strFrom.empty()) {
    SendReply("503 Need MAIL FROM: first");
    return;
  }
  const std::string text = text::StartsWith(argument, "TO:") ? text::Trim(argument.substr(3)) : argument;
  std::string recipient = text;
  std::string forwarded;
  if (FindForwardAddress(text, forwarded)) {
    if (m_pThread) m_pThread->Log("Forwarding email to: " + forwarded);
    recipient = forwarded;
  }
  // The text as sent and the address forward rules made of it.
  if (IsTooLong(text) || IsTooLong(recipient)) {
    SendReply(kSyntaxError);
    return;
  }
  // A blank recipient names nobody: delivery skips blank "x-receiver:" lines,
  // so a message for it would be answered "250 OK: Queued as" and then go
  // nowhere. It is refused here instead.
  if (text::Trim(recipient).empty()) {
    SendReply(kSyntaxError);
    return;
  }
  if (m_bAuthRemote != 0 && m_bAuthenticated == 0 && !IsLocalDomain(GetAddressDomain(recipient))) {
    SendReply("551 Client was not authenticated");
    return;
  }
  if (m_arrRecipients.size() >= kMaxRecipients) {
    SendReply("452 Too many recipients");
    return;
  }
  m_arrRecipients.push_back(std::move(recipient));
  SendReply("250 OK");
}

void CSmtpSocket::OnData() {
  if (m_strFrom.empty()) {
    SendReply("503 Need MAIL command");
    return;
  }
  if (m_arrRecipients.empty()) {
    SendReply("503 Need RCPT command");
    return;
  }
  SetState(SMTP_STATE_DATA);
  m_strMessage.clear();
  m_nMessageBytes = 0;
  SendReply("354 End with <CRLF>.<CRLF>");
}

void CSmtpSocket::OnRset() {
  SetState(SMTP_STATE_READY);
  ResetTransaction();
  SendReply("250 OK");
}

bool CSmtpSocket::IsSenderBlocked(std::string_view sender) const {
  const std::string address = StripAngleBrackets(sender);
  for (const std::string& entry : m_arrBlockMailFrom) {
    if (MatchWildcard(address, entry, true)) return true;
  }
  return false;
}

bool CSmtpSocket::FindForwardAddress(std::string_view recipient, std::string& result) const {
  const std::string address = StripAngleBrackets(recipient);
  const std::string forwarded = ApplyForwardRules(address, m_arrForwardRules);
  if (forwarded.empty()) return false;
  result = "<" + forwarded + ">";
  return true;
}

bool CSmtpSocket::IsLocalDomain(std::string_view domain) const {
  return IsLocalDomainName(domain, m_arrDomains);
}
