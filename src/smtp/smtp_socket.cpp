// The command side of the SMTP session: ProcessCommand and its rule table.
//
// The rules are tried in this order and the first that applies answers:
//   a  state CONNECTED, not QUIT/HELO/EHLO   "503 Bad sequence of commands (given out of order)"
//   b  state AUTH_USER                       the line is the base64 user name
//   c  state AUTH_PASSWORD                   the line is the base64 password
//   d  state AUTH_PLAIN                      the line is the base64 PLAIN credentials
//   e  HELO   f  EHLO   g  AUTH, AUTH=LOGIN   h  QUIT
//   STARTTLS, when the server has a certificate (without one it is an
//   unknown command, rule q)
//   i  AuthLocal set and not authenticated   "551 Client was not authenticated"
//   j  MAIL   k  RCPT   l  DATA   m  RSET   n  VRFY   o  HELP   p  NOOP
//   q  anything else                         "500 Command not implemented."
// Before the table, a line that holds a CR or LF of its own (a bare one
// before the CR LF that ended it) is refused whatever the state: such text
// would otherwise reach the spool file's envelope as an extra line.
#include "smtp/smtp_socket.h"

#include "common/text.h"
#include "net/server_link.h"

namespace {

constexpr const char* kBadSequence = "503 Bad sequence of commands (given out of order)";
constexpr const char* kSyntaxError = "501 Syntax error in parameters or arguments";
constexpr const char* kNotAuthenticated = "551 Client was not authenticated";
constexpr const char* kHelpReply =
    "214-This server supports the following commands:\r\n"
    "214 HELO EHLO RCPT DATA RSET MAIL QUIT VRFY HELP NOOP";

bool HasLineBreak(std::string_view line) { return line.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

CSmtpSocket::CSmtpSocket() = default;

CSmtpSocket::~CSmtpSocket() = default;

void CSmtpSocket::ProcessCommand() {
  CommandLine command;
  if (!TakeCommand(command)) return;
  if (HasLineBreak(command.line)) {
    SendReply(kSyntaxError);
    return;
  }
  RunCommand(command);
}

// The transitions:
//   from                       to             by
//   CONNECTED, READY           READY          HELO, EHLO
//   READY                      CONNECTED      STARTTLS (the handshake follows)
//   READY                      READY          RSET; AUTH PLAIN with its credentials
//   READY                      AUTH_USER      AUTH LOGIN (or any other mechanism but PLAIN)
//   READY                      AUTH_PLAIN     AUTH PLAIN alone
//   READY, AUTH_USER           AUTH_PASSWORD  AUTH LOGIN with the user name; the user line
//   AUTH_PASSWORD, AUTH_PLAIN  READY          the credentials line, whatever its outcome
//   READY                      DATA           DATA after a sender and recipients
//   DATA                       READY          the end of the message text
void CSmtpSocket::SetState(SmtpState state) { m_nState = state; }

void CSmtpSocket::RunCommand(const CommandLine& command) {
  const std::string& line = command.line;
  const std::string& word = command.word;
  const std::string& argument = command.argument;
  if (m_nState == SMTP_STATE_CONNECTED && word != "QUIT" && word != "HELO" && word != "EHLO") {
    SendReply(kBadSequence);
    return;
  }
  // In the AUTH states the whole line is credentials, whatever it holds.
  if (m_nState == SMTP_STATE_AUTH_USER) return OnAuthUser(line);
  if (m_nState == SMTP_STATE_AUTH_PASSWORD) return OnAuthPassword(line);
  if (m_nState == SMTP_STATE_AUTH_PLAIN) return OnAuthPlain(line);

  if (word == "HELO") return OnHelo(argument);
  if (word == "EHLO") return OnEhlo(argument);
  if (word == "AUTH" || word == "AUTH=LOGIN") return OnAuth(word, argument);
  if (word == "QUIT") return OnQuit();
  if (word == "STARTTLS" && m_pThread && m_pThread->IsTlsAvailable()) return OnStartTls(argument);

  if (m_bAuthLocal != 0 && m_bAuthenticated == 0) {
    SendReply(kNotAuthenticated);
    return;
  }
  if (word == "MAIL") return OnMail(argument);
  if (word == "RCPT") return OnRcpt(argument);
  if (word == "DATA") return OnData();
  if (word == "RSET") return OnRset();
  if (word == "VRFY") {
    SendReply("252 Cannot VRFY user");
    return;
  }
  if (word == "HELP") return OnHelp();
  if (word == "NOOP") {
    SendReply("250 OK");
    return;
  }
  SendReply("500 Command not implemented.");
}

void CSmtpSocket::OnHelo(const std::string& argument) {
  m_strHelo = argument;
  SetState(SMTP_STATE_READY);
  SendReply("250 OK");
}

void CSmtpSocket::OnEhlo(const std::string& argument) {
  m_strHelo = argument;
  m_bAuthenticated = 0;
  SetState(SMTP_STATE_READY);
  std::string reply = "250-Supported extensions:\r\n";
  // Where passwords need encryption, a plain session is not offered AUTH.
  if (!NeedsTlsForPassword()) reply += "250-AUTH PLAIN LOGIN\r\n";
  reply += "250-VRFY\r\n";
  if (HasSizeLimit()) reply += text::Format("250-SIZE %d\r\n", m_nMaxMessageSize);
  if (CanStartTls()) reply += "250-STARTTLS\r\n";
  reply += "250 OK";
  SendReplyText(reply);
}

void CSmtpSocket::OnStartTls(const std::string& argument) {
  if (!CanStartTls()) {
    SendReply(kBadSequence);
    return;
  }
  if (!argument.empty()) {
    SendReply(kSyntaxError);
    return;
  }
  if (!SendReply("220 Ready to start TLS")) return;
  // The session starts again as before HELO: nothing said in the clear
  // (greeting name, login, transaction) carries over.
  m_strHelo.clear();
  m_strAuthUser.clear();
  m_bAuthenticated = 0;
  ResetTransaction();
  SetState(SMTP_STATE_CONNECTED);
  BeginTls();
}

void CSmtpSocket::OnQuit() {
  if (SendReply("221 Bye")) CloseConnection();
}

void CSmtpSocket::OnHelp() { SendReply(kHelpReply); }
