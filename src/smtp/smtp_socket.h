// CSmtpSocket: the SMTP dialogue of one accepted connection. Command lines
// cut by CSessionSocket run through the rule table of ProcessCommand (HELO,
// EHLO, STARTTLS, AUTH LOGIN/PLAIN, MAIL, RCPT, DATA, RSET, VRFY, HELP, NOOP,
// QUIT);
// after "354" the received text is message text, streamed into a spool file
// in the drop folder and committed before "250 OK: Queued as: %s".
//
// The session reads only its own copies of the settings (filled by the
// listener at accept time); from the server it uses GetMailFolder and
// CheckLogin. Everything else goes through CConnectionContext.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/settings_table.h"
#include "net/session_socket.h"
#include "store/spool_file.h"

// The session's states (m_nState), numbered as they always were.
enum SmtpState {
  SMTP_STATE_CONNECTED = 0,      // greeting sent, no HELO or EHLO yet
  SMTP_STATE_READY = 1,          // commands are accepted
  SMTP_STATE_DATA = 2,           // received text is message text
  SMTP_STATE_AUTH_USER = 3,      // AUTH LOGIN: next line is the base64 user name
  SMTP_STATE_AUTH_PASSWORD = 4,  // AUTH LOGIN: next line is the base64 password
  SMTP_STATE_AUTH_PLAIN = 5,     // AUTH PLAIN: next line is the base64 credentials
};

class CSmtpSocket : public CSessionSocket {
 public:
  // Message text is kept in memory only up to this size; beyond it the text
  // is written to the spool file, so a session holds at most this plus one
  // receive chunk whatever the message size.
  static constexpr std::size_t kMessageFlushSize = 64 * 1024;
  // Recipients of one transaction. Each is a command line of up to 8 KiB,
  // so without a limit a client could grow a session without end; 1000 is
  // ten times what RFC 5321 asks a server to take.
  static constexpr std::size_t kMaxRecipients = 1000;
  // Longest path (the address in angle brackets) of a sender or recipient:
  // the RFC 5321 limit. Anything longer is no address, and a session that
  // keeps up to kMaxRecipients of them stays small.
  static constexpr std::size_t kMaxPath = 256;
  // Longest sender or recipient text, path and parameters, taken into the
  // envelope (the parameters of the extensions we know are short).
  static constexpr std::size_t kMaxAddressText = 1024;
  // MAIL is refused while the mail folder's file system has less free space
  // than this, or than two of the largest messages taken, whichever is
  // more: a client must not fill the disk that all mail lives on.
  static constexpr std::uint64_t kMinFreeSpace = 64ull << 20;
  // Answer to a message above m_nMaxMessageSize, declared or sent.
  static constexpr const char* kMessageTooLarge = "552 5.3.4 Message size exceeds fixed maximum message size";

  CSmtpSocket();
  ~CSmtpSocket() override;

  void OnReceivedText(std::string_view text) override;
  void ProcessCommand() override;

  // Policy of this session, on its own copies of the lists.
  bool IsSenderBlocked(std::string_view sender) const;
  bool FindForwardAddress(std::string_view recipient, std::string& result) const;
  bool IsLocalDomain(std::string_view domain) const;

  // Copies taken from the server when the connection was accepted.
  int m_bAuthLocal = settings::kAuthLocal.number_default;
  int m_bAuthRemote = settings::kAuthRemote.number_default;
  std::vector<std::string> m_arrDomains;
  std::vector<std::string> m_arrForwardRules;
  std::vector<std::string> m_arrBlockMailFrom;
  std::string m_strServerID = settings::kServerID.text_default;
  // Largest message text taken, bytes; 0 (or less): no limit.
  int m_nMaxMessageSize = settings::kMaxMessageSize.number_default;

  // Session and transaction.
  int m_bAuthenticated = 0;
  std::string m_strAuthUser;
  std::string m_strFrom;
  std::string m_strHelo;
  std::vector<std::string> m_arrRecipients;
  // Message text received but not yet written to the spool file (bounded by
  // kMessageFlushSize plus one read; see smtp_data.cpp).
  std::string m_strMessage;

  SmtpState GetState() const { return m_nState; }

 protected:
  // In the AUTH states an empty line is an answer (an empty user name or
  // password, refused like any wrong one), not a line to drop.
  bool TakesEmptyLine() const override {
    return m_nState == SMTP_STATE_AUTH_USER || m_nState == SMTP_STATE_AUTH_PASSWORD ||
           m_nState == SMTP_STATE_AUTH_PLAIN;
  }

 private:
  // The one place the state changes (the transitions are listed with it).
  void SetState(SmtpState state);

  // Rule table (smtp_socket.cpp).
  void RunCommand(const CommandLine& command);
  void OnHelo(const std::string& argument);
  void OnEhlo(const std::string& argument);
  void OnQuit();
  void OnHelp();
  void OnStartTls(const std::string& argument);

  // Transaction commands (smtp_mail.cpp).
  void OnMail(const std::string& argument);
  void OnRcpt(const std::string& argument);
  void OnData();
  void OnRset();

  // AUTH (smtp_auth.cpp).
  void OnAuth(const std::string& word, const std::string& argument);
  void OnAuthUser(const std::string& line);
  void OnAuthPassword(const std::string& line);
  void OnAuthPlain(const std::string& line);
  void ReplyAuthResult(bool ok);

  // Data phase (smtp_data.cpp).
  void ReceiveMessageText(std::string_view text);
  // Where the text ends in m_strMessage (just after its terminator), looking
  // for the terminator from `search_from`; npos while it has not come.
  std::size_t FindMessageEnd(std::size_t search_from) const;
  bool OpenSpoolFile();
  void FlushMessageText();
  // Writes the message and answers; false when the answer could not be sent.
  bool StoreMessage();
  bool WriteSpoolFile();
  std::string BuildEnvelope() const;
  void ResetTransaction();

  SmtpState m_nState = SMTP_STATE_CONNECTED;
  CSpoolFile m_Spool;
  // Bytes of message text received in this data phase (tells whether the
  // start of the text is still in m_strMessage).
  std::uint64_t m_nMessageBytes = 0;
  // The text has grown past m_nMaxMessageSize: the rest is read and dropped,
  // and its end answered 552.
  bool m_bMessageTooLarge = false;
  bool HasSizeLimit() const { return m_nMaxMessageSize > 0; }
  // The mail folder's file system is too full for new mail.
  bool IsStorageLow() const;
  // The SIZE= parameter of a MAIL command is above the limit.
  bool IsDeclaredSizeTooLarge(std::string_view argument) const;
};
