// The basic settings of the General page (section "Settings"): ports, mail
// folder, log path, log level and server identification. Read when the page
// is created, written together when the sheet applies its pages.
#pragma once

#include <array>
#include <string>

#include "common/settings_table.h"

namespace admin {

// The ports a listener can take.
inline constexpr int kMinPort = settings::kPort.min;
inline constexpr int kMaxPort = settings::kPort.max;
// Entries of the log level list; the index is the stored number.
inline constexpr std::array<const char*, 4> kLogLevelNames = {"None", "Error", "Trace", "Debug"};

struct CGeneralSettings {
  int m_nPort = settings::kPort.number_default;
  int m_nSmtpPort = settings::kSmtpPort.number_default;
  // The page shows its own spelling of the default folder ("C:\Mailboxes").
  std::string m_strMailFolder = settings::kMailFolder.shown_default;
  std::string m_strLogPath;
  int m_nLogLevel = settings::kLogLevel.number_default;
  std::string m_strServerId = settings::kServerID.text_default;

  // Reads the six values, each with its default when absent.
  void Load();
  // Writes MailFolder, Port, SmtpPort, LogLevel, LogPath and ServerID, in
  // this order; nothing else.
  void Save() const;
};

}  // namespace admin
