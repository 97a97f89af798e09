#include "applet/model/general_settings.h"

#include "common/settings_registry.h"
#include "common/text.h"
#include "platform/paths.h"

namespace applet {

void CGeneralSettings::Load() {
  m_nPort = ReadRegDword(kSettingsSection, "Port", 110);
  m_nSmtpPort = ReadRegDword(kSettingsSection, "SmtpPort", 25);
  m_strMailFolder = ReadRegString(kSettingsSection, "MailFolder", kPageDefaultMailFolder);
  m_strLogPath = ReadRegString(kSettingsSection, "LogPath", "");
  m_nLogLevel = ReadRegDword(kSettingsSection, "LogLevel", 0);
  m_strServerId = ReadRegString(kSettingsSection, "ServerID", kDefaultServerId);
}

void CGeneralSettings::Save() const {
  WriteRegString(kSettingsSection, "MailFolder", m_strMailFolder);
  WriteRegDword(kSettingsSection, "Port", m_nPort);
  WriteRegDword(kSettingsSection, "SmtpPort", m_nSmtpPort);
  WriteRegDword(kSettingsSection, "LogLevel", m_nLogLevel);
  WriteRegString(kSettingsSection, "LogPath", m_strLogPath);
  WriteRegString(kSettingsSection, "ServerID", m_strServerId);
}

std::string StoredMailFolderBase() {
  return platform::StripTrailingSeparators(
      ReadRegString(kSettingsSection, "MailFolder", kServiceDefaultMailFolder));
}

std::string MailboxFolderOf(const std::string& user) {
  return text::Format("%s\\%s", StoredMailFolderBase().c_str(), user.c_str());
}

}  // namespace applet
