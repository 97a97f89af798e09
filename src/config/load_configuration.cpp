// Loading the settings and lists of the service from the registry, at start
// and for every reload.
#include <cstdint>
#include <string>
#include <vector>

#include "common/mail_store.h"
#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "common/text.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "platform/sockets.h"
#include "service/mail_server.h"

namespace {

// Lists larger than this are left as they were: the service takes lists of at
// most 4095 bytes although the applet stores some up to 8191.
constexpr std::size_t kMaxLoadedList = 4095;

enum class ListRead { Missing, TooLarge, Malformed, Loaded };

ListRead ReadTextList(CMailServer& server, const char* section, const char* value,
                      std::vector<std::string>& list) {
  std::vector<std::uint8_t> data;
  if (!ReadRegBinary(section, value, data)) return ListRead::Missing;
  if (data.size() > kMaxLoadedList) return ListRead::TooLarge;
  std::vector<std::string> texts;
  if (!serial_list::ReadTexts(data.data(), data.size(), texts)) {
    server.WriteLog(LOG_ERROR, 0, "Malformed list ignored: %s\\%s", section, value);
    return ListRead::Malformed;
  }
  list = std::move(texts);
  return ListRead::Loaded;
}

}  // namespace

void CMailServer::LoadConfiguration() {
  WriteLog(LOG_TRACE, 0, "Loading configuration...");

  SetMailFolder(ReadRegString("Settings", "MailFolder", kDefaultMailFolder));
  m_nPort = ReadRegDword("Settings", "Port", 110);
  m_nSmtpPort = ReadRegDword("Settings", "SmtpPort", 25);
  m_nLogLevel = ReadRegDword("Settings", "LogLevel", 0);
  m_strLogPath = ReadRegString("Settings", "LogPath", "");
  m_nIPFilterMode = ReadRegDword("Settings", "IPFilterMode", 0);
  m_nConnectionsLimit = ReadRegDword("Settings", "ConnectionsLimit", 20);
  m_nTimeout = ReadRegDword("Settings", "Timeout", 90);
  m_nRelayTimeout = ReadRegDword("Settings", "RelayTimeout", 30);
  m_bAuthLocal = ReadRegDword("Settings", "AuthLocal", 0);
  m_bAuthRemote = ReadRegDword("Settings", "AuthRemote", 1);
  m_bRelayMessages = ReadRegDword("Settings", "RelayMessages", 0);
  const std::string host_name = platform::LocalHostName().substr(0, 255);
  m_strHostName = ReadRegString("Settings", "HostName", host_name);
  m_strDNSServer = ReadRegString("Settings", "DNSServer", "");
  m_nMaxRecipients = ReadRegDword("Settings", "MaxRecipients", 0);
  m_strServerID = ReadRegString("Settings", "ServerID", kDefaultServerID);

  // Accounts: an unreadable value means the default account; a value too
  // large or malformed leaves the accounts as they were.
  {
    std::vector<std::uint8_t> data;
    if (!ReadRegBinary("UserAccounts", "Users", data)) {
      std::lock_guard<std::mutex> guard(m_AccountsLock);
      m_arrAccounts = {CUserAccount{"admin", "Administrator", ""}};
    } else if (data.size() <= kMaxLoadedList) {
      std::vector<CUserAccount> accounts;
      if (serial_list::ReadAccounts(data.data(), data.size(), accounts)) {
        std::lock_guard<std::mutex> guard(m_AccountsLock);
        m_arrAccounts = std::move(accounts);
      } else {
        WriteLog(LOG_ERROR, 0, "Malformed list ignored: UserAccounts\\Users");
      }
    }
  }
  ReadTextList(*this, "Relay", "MxRecords", m_arrMxRecords);
  ReadTextList(*this, "Domains", "Extensions", m_arrDomains);
  ReadTextList(*this, "IpFilter", "Addresses", m_arrIPFilter);
  ReadTextList(*this, "ForwardRules", "Rules", m_arrForwardRules);
  ReadTextList(*this, "BlockMailFrom", "Rules", m_arrBlockMailFrom);

  // Every account has its mailbox folder (never one outside the mail folder).
  const std::string mail_folder = platform::StripTrailingSeparators(GetMailFolder());
  std::vector<std::string> users;
  {
    std::lock_guard<std::mutex> guard(m_AccountsLock);
    for (const CUserAccount& account : m_arrAccounts) users.push_back(account.m_strUser);
  }
  for (const std::string& user : users) {
    if (!IsSafeMailboxName(user)) continue;
    CreateFolderPath(mail_folder + "\\" + user);
  }

  platform::Beep(1000, 50);
}
