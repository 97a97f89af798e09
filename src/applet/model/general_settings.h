// The basic settings of the General page (section "Settings"): ports, mail
// folder, log path, log level and server identification. Read when the page
// is created, written together when the sheet applies its pages.
#pragma once

#include <array>
#include <string>

namespace applet {

inline constexpr const char* kSettingsSection = "Settings";
// The page's own default for a missing MailFolder; the service's default
// "c:\Mailboxes\" names the same folder.
inline constexpr const char* kPageDefaultMailFolder = "C:\\Mailboxes";
// The service's default for a missing MailFolder, used where the applet
// builds mailbox folder paths.
inline constexpr const char* kServiceDefaultMailFolder = "c:\\Mailboxes\\";
inline constexpr const char* kDefaultServerId = "Kestrune Mail Server SMTP (1.0.0.0)";
// The ports a listener can take.
inline constexpr int kMinPort = 1;
inline constexpr int kMaxPort = 65535;
// Entries of the log level list; the index is the stored number.
inline constexpr std::array<const char*, 4> kLogLevelNames = {"None", "Error", "Trace", "Debug"};

struct CGeneralSettings {
  int m_nPort = 110;
  int m_nSmtpPort = 25;
  std::string m_strMailFolder = kPageDefaultMailFolder;
  std::string m_strLogPath;
  int m_nLogLevel = 0;
  std::string m_strServerId = kDefaultServerId;

  // Reads the six values, each with its default when absent.
  void Load();
  // Writes MailFolder, Port, SmtpPort, LogLevel, LogPath and ServerID, in
  // this order; nothing else.
  void Save() const;
};

// MailFolder as stored (the service's default when absent), trailing
// separators removed: the base of every mailbox folder the applet makes.
std::string StoredMailFolderBase();
// The mailbox folder of a user: the stored mail folder, "\", the name.
std::string MailboxFolderOf(const std::string& user);

}  // namespace applet
