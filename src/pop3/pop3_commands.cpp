// The POP3 command state machine: one line in, the replies out.
//
// States: authorization (1) from the greeting until a successful PASS, where
// only USER, PASS, CAPA and QUIT work; transaction (0) after it, where every
// command works (a further successful PASS rebuilds the snapshot and so drops
// all marks); sending (2) only while a RETR reply goes out. STLS (with a
// certificate) works in authorization only, once, and forgets USER.
#include <charconv>
#include <climits>
#include <cstdint>
#include <string>

#include "common/text.h"
#include "pop3/pop3_socket.h"

namespace {

constexpr const char* kNotValidInState = "-ERR Command not valid in this state";
constexpr const char* kNoSuchMessage = "-ERR no such message";
constexpr const char* kMarkedAsDel = "-ERR message %d is marked as del";
constexpr const char* kTlsRequired = "-ERR TLS required";

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

void AppendNumber(std::string& text, std::uint64_t value) {
  char digits[24];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  text.append(digits, result.ptr);
}

}  // namespace

int ParseMessageNumber(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text::IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::int64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT_MAX) {  // clamp: a huge number is still no message number
      value = static_cast<std::int64_t>(INT_MAX) + 1;
      break;
    }
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// The transitions:
//   AUTHORIZATION, TRANSACTION  TRANSACTION  a successful PASS
//   TRANSACTION                 SENDING      a RETR reply starts going out
//   SENDING                     TRANSACTION  the RETR reply went out (or failed)
void CPop3Socket::SetState(State state) { m_nState = state; }

void CPop3Socket::ProcessCommand() {
  // The command is the text before the first space, the argument everything
  // after it, kept as sent.
  CommandLine line;
  if (!TakeCommand(line)) return;
  const std::string& command = line.word;
  const std::string& arg = line.argument;

  // With a certificate, STLS starts TLS before the login; without one it
  // is an unknown command like any other.
  const bool tls_command = command == "STLS" && m_pThread && m_pThread->IsTlsAvailable();
  if (tls_command) return OnStls();
  const bool any_state = command == "USER" || command == "PASS" || command == "QUIT" ||
                         command == "CAPA";
  if (m_nState == kStateAuthorization && !any_state) {
    SendReply("%s", kNotValidInState);
    return;
  }

  if (command == "USER") return OnUser(arg);
  if (command == "PASS") return OnPass(arg);
  if (command == "CAPA") return OnCapa();
  if (command == "QUIT") return OnQuit();
  if (command == "STAT") return OnStat();
  if (command == "LIST") return OnList(arg);
  if (command == "UIDL") return OnUidl(arg);
  if (command == "RETR") return OnRetr(arg);
  if (command == "TOP") return OnTop(arg);
  if (command == "DELE") return OnDele(arg);
  if (command == "LAST") return OnLast();
  if (command == "RSET") return OnRset();
  if (command == "NOOP") {
    SendReply("+OK");
    return;
  }
  SendReply("-ERR Command not implemented.");
}

void CPop3Socket::OnStls() {
  // Only before the login, and only once.
  if (m_nState != kStateAuthorization || !CanStartTls()) {
    SendReply("%s", kNotValidInState);
    return;
  }
  if (!SendReply("+OK Begin TLS negotiation")) return;
  m_strUser.clear();
  BeginTls();
}

void CPop3Socket::OnUser(const std::string& arg) {
  if (NeedsTlsForPassword()) {
    SendReply("%s", kTlsRequired);
    return;
  }
  m_strUser = arg;
  SendReply("+OK");
}

void CPop3Socket::OnPass(const std::string& arg) {
  if (NeedsTlsForPassword()) {
    SendReply("%s", kTlsRequired);
    return;
  }
  if (m_strUser.empty()) {
    SendReply("%s", kNotValidInState);
    return;
  }
  // A failure is answered after a delay; the fifth ends the connection.
  if (!CheckClientLogin(m_strUser, arg)) {
    ReplyLoginFailed("-ERR login failed", "-ERR too many failed logins");
    return;
  }
  SendReply("+OK authentication successful");
  SetState(kStateTransaction);
  BuildMessageList();
}

void CPop3Socket::OnCapa() {
  // USER only where a password may be given; STLS while TLS can start.
  std::string list = "TOP\r\n";
  if (!NeedsTlsForPassword()) list += "USER\r\n";
  list += "UIDL\r\n";
  if (CanStartTls()) list += "STLS\r\n";
  SendReply("+OK Capability list follows\r\n%s.", list.c_str());
}

void CPop3Socket::OnQuit() {
  DeleteMarkedMessages();
  SendReply("+OK session ended");
  CloseConnection();
}

void CPop3Socket::OnStat() {
  // The total may pass the range of a 32-bit number in a large mailbox.
  SendReply("+OK %zu %llu", m_arrMessages.UnmarkedCount(),
            static_cast<unsigned long long>(m_arrMessages.UnmarkedOctets()));
}

bool CPop3Socket::CheckMessageNumber(int n) {
  if (n < 1 || static_cast<std::size_t>(n) > m_arrMessages.size()) {
    SendReply("%s", kNoSuchMessage);
    return false;
  }
  if (m_arrMessages.IsDeleted(n - 1)) {
    SendReply(kMarkedAsDel, n);
    return false;
  }
  return true;
}

void CPop3Socket::SendListing(const char* head, const std::function<void(std::size_t, std::string&)>& second_word) {
  ChunkedReply reply(*this, head);
  for (std::size_t i = 0; i < m_arrMessages.size(); ++i) {
    if (m_arrMessages.IsDeleted(i)) continue;
    std::string& text = reply.Text();
    AppendNumber(text, i + 1);
    text.push_back(' ');
    second_word(i, text);
    text.append("\r\n");
    if (!reply.Flush()) return;
  }
  reply.Finish();
}

void CPop3Socket::OnList(const std::string& arg) {
  if (arg.empty()) {
    SendListing("+OK scan listing follows\r\n",
                [this](std::size_t i, std::string& text) { AppendNumber(text, m_arrMessages.Size(i)); });
    return;
  }
  const int n = ParseMessageNumber(arg);
  if (!CheckMessageNumber(n)) return;
  SendReply("+OK %d %u", n, m_arrMessages.Size(n - 1));
}

void CPop3Socket::OnUidl(const std::string& arg) {
  if (arg.empty()) {
    SendListing("+OK unique-id listing follows\r\n",
                [this](std::size_t i, std::string& text) { text.append(m_arrMessages.UniqueId(i)); });
    return;
  }
  const int n = ParseMessageNumber(arg);
  if (!CheckMessageNumber(n)) return;
  const std::string id(m_arrMessages.UniqueId(n - 1));
  SendReply("+OK %d %s", n, id.c_str());
}

void CPop3Socket::OnRetr(const std::string& arg) {
  const int n = ParseMessageNumber(arg);
  if (!CheckMessageNumber(n)) return;
  SendMessage(n);
}

void CPop3Socket::OnTop(const std::string& arg) {
  // "TOP n m": without a space there is no count, and n is taken as 0.
  const std::size_t space = arg.find(' ');
  int n = 0;
  int lines = 0;
  if (space != std::string::npos) {
    n = ParseMessageNumber(std::string_view(arg).substr(0, space));
    lines = ParseMessageNumber(std::string_view(arg).substr(space + 1));
  }
  if (!CheckMessageNumber(n)) return;
  SendMessageTop(n, lines);
}

void CPop3Socket::OnDele(const std::string& arg) {
  const int n = ParseMessageNumber(arg);
  if (n < 1 || static_cast<std::size_t>(n) > m_arrMessages.size()) {
    SendReply("%s", kNoSuchMessage);
    return;
  }
  if (m_arrMessages.IsDeleted(n - 1)) {
    SendReply("-ERR message %d already deleted", n);
    return;
  }
  m_arrMessages.Mark(n - 1);
  SendReply("+OK message %d marked as deleted", n);
}

void CPop3Socket::OnLast() { SendReply("+OK %d", m_nHighestRetrieved + 1); }

void CPop3Socket::OnRset() {
  m_arrMessages.ClearMarks();
  m_nHighestRetrieved = 0;
  SendReply("+OK");
}
