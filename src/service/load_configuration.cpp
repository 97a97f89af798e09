// Loading the settings and lists of the service from the registry, at start
// and for every reload.
#include <cstdint>
#include <string>
#include <vector>

#include "store/mail_store.h"
#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "common/settings_table.h"
#include "common/text.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "service/mail_server.h"

namespace {

enum class ListRead { Missing, TooLarge, Malformed, Loaded };

// Lists larger than the setting's service_max_bytes are left as they were:
// the service takes smaller lists than the applet stores for some.
ListRead ReadTextList(CMailServer& server, const settings::Setting& setting,
                      std::vector<std::string>& list) {
  std::vector<std::uint8_t> data;
  if (!ReadRegBinary(setting.section, setting.name, data)) return ListRead::Missing;
  if (data.size() > setting.service_max_bytes) return ListRead::TooLarge;
  std::vector<std::string> texts;
  if (!serial_list::ReadTexts(data.data(), data.size(), texts)) {
    server.WriteLog(LOG_ERROR, 0, "Malformed list ignored: %s\\%s", setting.section, setting.name);
    return ListRead::Malformed;
  }
  list = std::move(texts);
  return ListRead::Loaded;
}

}  // namespace

void CMailServer::LoadConfiguration() {
  WriteLog(LOG_TRACE, 0, "Loading configuration...");

  SetMailFolder(settings::ReadText(settings::kMailFolder));
  m_nPort = settings::ReadNumber(settings::kPort);
  m_nSmtpPort = settings::ReadNumber(settings::kSmtpPort);
  m_nLogLevel = settings::ReadNumber(settings::kLogLevel);
  m_strLogPath = settings::ReadText(settings::kLogPath);
  m_nIPFilterMode = settings::ReadNumber(settings::kIPFilterMode);
  m_nConnectionsLimit = settings::ReadNumber(settings::kConnectionsLimit);
  m_nTimeout = settings::ReadNumber(settings::kTimeout);
  m_nRelayTimeout = settings::ReadNumber(settings::kRelayTimeout);
  m_bAuthLocal = settings::ReadNumber(settings::kAuthLocal);
  m_bAuthRemote = settings::ReadNumber(settings::kAuthRemote);
  m_bRelayMessages = settings::ReadNumber(settings::kRelayMessages);
  m_strHostName = settings::ReadText(settings::kHostName);
  m_strDNSServer = settings::ReadText(settings::kDNSServer);
  m_nMaxRecipients = settings::ReadNumber(settings::kMaxRecipients);
  m_strServerID = settings::ReadText(settings::kServerID);
  m_nScanInterval = settings::ReadNumber(settings::kScanInterval);

  // Accounts: an unreadable value means the default account; a value too
  // large or malformed leaves the accounts as they were.
  {
    std::vector<std::uint8_t> data;
    if (!ReadRegBinary(settings::kUsers.section, settings::kUsers.name, data)) {
      std::lock_guard<std::mutex> guard(m_AccountsLock);
      m_arrAccounts = {CUserAccount{kAdminUser, kAdminFullName, ""}};
    } else if (data.size() <= settings::kUsers.service_max_bytes) {
      std::vector<CUserAccount> accounts;
      if (serial_list::ReadAccounts(data.data(), data.size(), accounts)) {
        std::lock_guard<std::mutex> guard(m_AccountsLock);
        m_arrAccounts = std::move(accounts);
      } else {
        WriteLog(LOG_ERROR, 0, "Malformed list ignored: UserAccounts\\Users");
      }
    }
  }
  ReadTextList(*this, settings::kMxRecords, m_arrMxRecords);
  ReadTextList(*this, settings::kDomains, m_arrDomains);
  ReadTextList(*this, settings::kIPFilter, m_arrIPFilter);
  ReadTextList(*this, settings::kForwardRules, m_arrForwardRules);
  ReadTextList(*this, settings::kBlockMailFrom, m_arrBlockMailFrom);

  // Every account has its mailbox folder (never one outside the mail folder).
  const std::string mail_folder = GetMailFolder();
  std::vector<std::string> users;
  {
    std::lock_guard<std::mutex> guard(m_AccountsLock);
    for (const CUserAccount& account : m_arrAccounts) users.push_back(account.m_strUser);
  }
  for (const std::string& user : users) {
    if (!IsSafeMailboxName(user)) continue;
    CreateFolderPath(MailSubfolder(mail_folder, user));
  }

  platform::Beep(1000, 50);
}
