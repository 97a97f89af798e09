// AUTH LOGIN and AUTH PLAIN of the SMTP session.
//
//   AUTH LOGIN            -> "334 VXNlcm5hbWU6", user line, "334 UGFzc3dvcmQ6", password line
//   AUTH LOGIN <b64 user> -> "334 UGFzc3dvcmQ6", password line        (RFC 4954 initial response)
//   AUTH PLAIN            -> "334 VXNlcm5hbWU6", line of base64(authzid NUL user NUL password)
//   AUTH PLAIN <b64>      -> checked at once                           (RFC 4954 initial response)
// Any other mechanism word starts the LOGIN exchange. Every exchange ends
// in state READY with "235 Authentication successful." or "501
// Authentication failed."; a failure leaves an earlier success in force.
// With TlsAuthOnly, a plain session's AUTH is refused before any exchange.
// A failure is answered only after a delay, and the fifth of a connection
// is answered "421 4.7.0 Too many failed logins" and ends it (see
// CSessionSocket::ReplyLoginFailed); a client address locked out after too
// many failures gets "501 Authentication failed." whatever it sends.
#include "smtp/smtp_socket.h"

#include <vector>

#include "common/text.h"
#include "smtp/smtp_base64.h"

namespace {

constexpr const char* kAskUser = "334 VXNlcm5hbWU6";      // "Username:"
constexpr const char* kAskPassword = "334 UGFzc3dvcmQ6";  // "Password:"
constexpr const char* kAuthOk = "235 Authentication successful.";
constexpr const char* kAuthFailed = "501 Authentication failed.";
constexpr const char* kTooManyFailures = "421 4.7.0 Too many failed logins";

struct PlainCredentials {
  std::string user;
  std::string password;
};

// authzid NUL user NUL password: the part before the first NUL is skipped;
// without two NUL bytes the missing parts stay empty.
PlainCredentials ParsePlainCredentials(std::string_view line) {
  std::vector<unsigned char> buffer(line.size() + 1, 0);
  std::size_t length = buffer.size();
  DecodeBase64(line.data(), line.size(), buffer.data(), &length);
  if (length > buffer.size()) length = buffer.size();
  const std::string_view decoded(reinterpret_cast<const char*>(buffer.data()), length);

  PlainCredentials credentials;
  const std::size_t first = decoded.find('\0');
  if (first == std::string_view::npos) return credentials;
  const std::string_view rest = decoded.substr(first + 1);
  const std::size_t second = rest.find('\0');
  credentials.user = std::string(rest.substr(0, second));
  if (second == std::string_view::npos) return credentials;
  const std::string_view password = rest.substr(second + 1);
  credentials.password = std::string(password.substr(0, password.find('\0')));
  return credentials;
}

}  // namespace

void CSmtpSocket::OnAuth(const std::string& word, const std::string& argument) {
  if (NeedsTlsForPassword()) {
    SendReply("538 5.7.11 Encryption required for requested authentication mechanism");
    return;
  }
  // The mechanism word, and for the plain "AUTH" command an optional
  // initial response after it.
  std::string mechanism = text::ToUpper(argument);
  std::string response;
  if (word == "AUTH") {
    const std::size_t space = argument.find(' ');
    if (space != std::string::npos) {
      mechanism = text::ToUpper(argument.substr(0, space));
      response = text::Trim(argument.substr(space + 1));
    }
  }

  if (mechanism == "PLAIN" && !response.empty()) {
    OnAuthPlain(response);
    return;
  }
  if (mechanism == "PLAIN") {
    SetState(SMTP_STATE_AUTH_PLAIN);
    SendReply(kAskUser);
    return;
  }
  if (mechanism == "LOGIN" && !response.empty()) {
    OnAuthUser(response);
    return;
  }
  SetState(SMTP_STATE_AUTH_USER);
  SendReply(kAskUser);
}

void CSmtpSocket::OnAuthUser(const std::string& line) {
  m_strAuthUser = DecodeBase64Line(line);
  SetState(SMTP_STATE_AUTH_PASSWORD);
  SendReply(kAskPassword);
}

void CSmtpSocket::OnAuthPassword(const std::string& line) {
  const std::string password = DecodeBase64Line(line);
  SetState(SMTP_STATE_READY);
  ReplyAuthResult(CheckClientLogin(m_strAuthUser, password));
}

void CSmtpSocket::OnAuthPlain(const std::string& line) {
  const PlainCredentials credentials = ParsePlainCredentials(line);
  m_strAuthUser = credentials.user;
  SetState(SMTP_STATE_READY);
  ReplyAuthResult(CheckClientLogin(m_strAuthUser, credentials.password));
}

void CSmtpSocket::ReplyAuthResult(bool ok) {
  if (!ok) {
    ReplyLoginFailed(kAuthFailed, kTooManyFailures);
    return;
  }
  m_bAuthenticated = 1;
  SendReply(kAuthOk);
}
