// Loading the settings and lists of the service from the registry, at start
// and for every reload.
//
// A value that is not there means its default (for the accounts list: the
// admin account). A value that cannot be read (an I/O error, a busy
// database, no descriptor left) is another matter: what was loaded before
// stays (the defaults at start, and no account at all, never the admin
// account in place of the stored ones), and one Error line names every such
// value, on standard error and in the trace log.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "store/mail_store.h"
#include "common/retry_policy.h"
#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "common/settings_table.h"
#include "common/text.h"
#include "platform/message_box.h"
#include "platform/paths.h"
#include "platform/sockets.h"
#include "relay/relay_thread.h"
#include "service/mail_server.h"

namespace {

enum class ListRead { Missing, Unreadable, TooLarge, Loaded };

// The values of one load that could not be read, reported together.
class ReadErrors {
 public:
  // The value's bytes into `data`: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, or
  // the error that kept it from being read (noted for the report).
  LONG Query(const settings::Setting& setting, std::vector<std::uint8_t>& data) {
    const LONG result = QueryRegBinary(setting.section, setting.name, data);
    if (result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND) return result;
    if (!m_strNames.empty()) m_strNames += ", ";
    m_strNames += text::Format("%s\\%s (error %ld)", setting.section, setting.name, static_cast<long>(result));
    return result;
  }
  // True when the value can be read or is not there (its default holds).
  bool Readable(const settings::Setting& setting) {
    std::vector<std::uint8_t> ignored;
    const LONG result = Query(setting, ignored);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
  }
  void Report(CMailServer& server) const {
    if (m_strNames.empty()) return;
    server.ReportError("ERROR: Cannot read from the registry: " + m_strNames + "; what was loaded before stays.");
  }

 private:
  std::string m_strNames;
};

ListRead ReadListValue(ReadErrors& errors, const settings::Setting& setting, std::vector<std::uint8_t>& data) {
  const LONG result = errors.Query(setting, data);
  if (result == ERROR_FILE_NOT_FOUND) return ListRead::Missing;
  if (result != ERROR_SUCCESS) return ListRead::Unreadable;
  return data.size() > setting.service_max_bytes ? ListRead::TooLarge : ListRead::Loaded;
}

// Lists larger than the setting's service_max_bytes, unreadable or malformed
// are left as they were: the service takes smaller lists than the applet
// stores for some.
void ReadTextList(CMailServer& server, ReadErrors& errors, const settings::Setting& setting,
                  std::vector<std::string>& list) {
  std::vector<std::uint8_t> data;
  if (ReadListValue(errors, setting, data) != ListRead::Loaded) return;
  std::vector<std::string> texts;
  if (!serial_list::ReadTexts(data.data(), data.size(), texts)) {
    server.WriteLog(LOG_ERROR, 0, "Malformed list ignored: %s\\%s", setting.section, setting.name);
    return;
  }
  list = std::move(texts);
}

// RetryFor and RetrySchedule: a malformed value is named in one Error line
// and its default used.
void LoadRetryPolicy(CMailServer& server, ReadErrors& errors, RetryPolicy& policy) {
  auto load = [&](const settings::Setting& setting, auto parse, auto& field) {
    if (!errors.Readable(setting)) return;
    if (parse(settings::ReadText(setting), field)) return;
    // Also at the start, before the log is open: kept until it is.
    server.ReportError(text::Format("Malformed value ignored: %s\\%s; the default \"%s\" is used.",
                                    setting.section, setting.name, setting.text_default));
    parse(setting.text_default, field);
  };
  load(settings::kRetryFor, ParseRetryFor, policy.retry_for);
  load(settings::kRetrySchedule, ParseRetrySchedule, policy.waits);
}

}  // namespace

void CMailServer::LoadConfiguration() {
  WriteLog(LOG_TRACE, 0, "Loading configuration...");
  ReadErrors errors;
  auto number = [&errors](const settings::Setting& setting, auto& field) {
    if (errors.Readable(setting)) field = settings::ReadNumber(setting);
  };
  auto text = [&errors](const settings::Setting& setting, std::string& field) {
    if (errors.Readable(setting)) field = settings::ReadText(setting);
  };

  if (errors.Readable(settings::kMailFolder)) SetMailFolder(settings::ReadText(settings::kMailFolder));
  number(settings::kPort, m_nPort);
  number(settings::kSmtpPort, m_nSmtpPort);
  number(settings::kLogLevel, m_nLogLevel);
  text(settings::kLogPath, m_strLogPath);
  number(settings::kIPFilterMode, m_nIPFilterMode);
  number(settings::kConnectionsLimit, m_nConnectionsLimit);
  {
    // Each connection holds a few descriptors (its socket, its thread's
    // queue and end event, a file while it writes one): room for all of
    // them now rather than in the middle of a burst of connects.
    constexpr long long kPerConnection = 4, kOwn = 64;
    const long long wanted = (std::max(0, m_nConnectionsLimit.load()) + 1LL) * kPerConnection + kOwn;
    platform::ReserveDescriptors(static_cast<int>(std::min<long long>(wanted, INT_MAX)));
  }
  number(settings::kTimeout, m_nTimeout);
  number(settings::kRelayTimeout, m_nRelayTimeout);
  number(settings::kAuthLocal, m_bAuthLocal);
  number(settings::kAuthRemote, m_bAuthRemote);
  number(settings::kRelayMessages, m_bRelayMessages);
  text(settings::kHostName, m_strHostName);
  text(settings::kDNSServer, m_strDNSServer);
  number(settings::kMaxRecipients, m_nMaxRecipients);
  text(settings::kServerID, m_strServerID);
  number(settings::kScanInterval, m_nScanInterval);
  if (errors.Readable(settings::kListenAddresses))
    m_arrListenAddresses = settings::ListenAddressList(settings::ReadText(settings::kListenAddresses));
  number(settings::kMaxMessageSize, m_nMaxMessageSize);
  LoadRetryPolicy(*this, errors, m_RetryPolicy);
  // The relay thread keeps the settings it started with, but for these.
  if (m_pRelayThread) m_pRelayThread->UpdateRetryPolicy(m_RetryPolicy);
  if (m_pRelayThread) m_pRelayThread->m_nLogLevel = m_nLogLevel.load();
  text(settings::kTlsCertificate, m_strTlsCertificate);
  text(settings::kTlsPrivateKey, m_strTlsPrivateKey);
  number(settings::kTlsAuthOnly, m_bTlsAuthOnly);
  number(settings::kRelayTls, m_bRelayTls);
  number(settings::kSmtpsPort, m_nSmtpsPort);
  number(settings::kPop3sPort, m_nPop3sPort);

  // Accounts: a missing value means the default account; one that cannot
  // be read, is too large or malformed leaves the accounts as they were.
  {
    std::vector<std::uint8_t> data;
    const ListRead read = ReadListValue(errors, settings::kUsers, data);
    if (read == ListRead::Missing) {
      std::lock_guard<std::mutex> guard(m_AccountsLock);
      m_arrAccounts = {CUserAccount{kAdminUser, kAdminFullName, ""}};
    } else if (read == ListRead::Loaded) {
      std::vector<CUserAccount> accounts;
      if (serial_list::ReadAccounts(data.data(), data.size(), accounts)) {
        std::lock_guard<std::mutex> guard(m_AccountsLock);
        m_arrAccounts = std::move(accounts);
      } else {
        WriteLog(LOG_ERROR, 0, "Malformed list ignored: UserAccounts\\Users");
      }
    }
  }
  ReadTextList(*this, errors, settings::kMxRecords, m_arrMxRecords);
  ReadTextList(*this, errors, settings::kDomains, m_arrDomains);
  ReadTextList(*this, errors, settings::kIPFilter, m_arrIPFilter);
  ReadTextList(*this, errors, settings::kForwardRules, m_arrForwardRules);
  ReadTextList(*this, errors, settings::kBlockMailFrom, m_arrBlockMailFrom);
  errors.Report(*this);
  LoadTlsContext();

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
