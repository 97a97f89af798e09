#include "admin/config_check.h"

#include <cstdint>
#include <optional>
#include <set>

#include "admin/account_list.h"
#include "admin/ip_filter.h"
#include "admin/setting_values.h"
#include "admin/stored_list.h"
#include "common/system_messages.h"
#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "common/settings_table.h"
#include "common/text.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/sockets.h"
#include "platform/sync.h"

namespace admin {
namespace {

// How long the port probe waits for the greeting of whoever listens.
constexpr DWORD kGreetingWaitMs = 1000;
// Both protocols greet with this name.
constexpr const char* kGreetingName = "Kestrune Mail Server";

std::string Subject(const settings::Setting& setting) { return std::string(setting.section) + "\\" + setting.name; }

void Add(std::vector<Finding>& findings, Severity severity, const settings::Setting& setting, std::string text) {
  findings.push_back({severity, Subject(setting), std::move(text)});
}

// The stored texts of a list (none when it is missing), or nothing when it
// cannot be read (which the list check reports).
std::optional<std::vector<std::string>> StoredTexts(const settings::Setting& list) {
  std::vector<std::uint8_t> data;
  std::vector<std::string> texts;
  const LONG result = QueryRegBinary(list.section, list.name, data);
  if (result == ERROR_FILE_NOT_FOUND) return texts;
  if (result != ERROR_SUCCESS || data.size() > list.service_max_bytes ||
      !serial_list::ReadTexts(data.data(), data.size(), texts))
    return std::nullopt;
  return texts;
}

std::optional<std::vector<CUserAccount>> StoredAccounts() {
  CAccountList accounts(CAccountList::RowOrder::Stored);
  accounts.ReadAccounts();
  if (accounts.ReadProblem()) return std::nullopt;
  return accounts.Rows();
}

std::string TypeName(DWORD type) {
  switch (type) {
    case platform::REG_SZ:
      return "a text (REG_SZ)";
    case platform::REG_EXPAND_SZ:
      return "a text (REG_EXPAND_SZ)";
    case platform::REG_BINARY:
      return "bytes (REG_BINARY)";
    default:
      return text::Format("a value of type %lu", static_cast<unsigned long>(type));
  }
}

void CheckNumbers(const CheckProbes&, std::vector<Finding>& findings) {
  for (const settings::Setting* setting : ScalarSettings()) {
    std::vector<std::uint8_t> bytes;
    DWORD type = platform::REG_NONE;
    if (QueryRegValue(setting->section, setting->name, type, bytes) != ERROR_SUCCESS) continue;
    if (setting->type == settings::Type::Number) {
      const int number = settings::ReadNumber(*setting);
      if (type != platform::REG_DWORD) {
        // The service reads the bytes of a value of four bytes, whatever its
        // type, and takes the default for any other size.
        Add(findings, Severity::Error, *setting,
            text::Format("is stored as %s, not as a number: the service uses %d", TypeName(type).c_str(), number));
        continue;
      }
      if (number < setting->min || number > setting->max)
        Add(findings, Severity::Error, *setting,
            text::Format("is %d, outside %s", number, RangeText(*setting).c_str()));
    } else if (SettingValueRefusal(*setting, settings::ReadText(*setting))) {
      Add(findings, Severity::Error, *setting, "holds a line break or another control character");
    }
  }
}

void CheckPaths(const CheckProbes&, std::vector<Finding>& findings) {
  for (const settings::Setting* setting : ScalarSettings()) CheckSettingPath(*setting, findings);
}

void CheckListValues(const CheckProbes&, std::vector<Finding>& findings) {
  for (const settings::Setting* list : settings::AllSettings()) {
    if (list->type != settings::Type::List) continue;
    std::vector<std::uint8_t> data;
    const LONG result = QueryRegBinary(list->section, list->name, data);
    if (result == ERROR_FILE_NOT_FOUND) continue;
    if (result != ERROR_SUCCESS) {
      Add(findings, Severity::Error, *list, "cannot be read: " + text::TrimRight(SystemErrorText(result)));
      continue;
    }
    if (data.size() > list->service_max_bytes) {
      Add(findings, Severity::Error, *list,
          text::Format("takes %zu bytes; the service ignores lists larger than %zu bytes and keeps the one it had",
                       data.size(), list->service_max_bytes));
      continue;
    }
    std::vector<std::string> texts;
    std::vector<CUserAccount> accounts;
    const bool read = list == &settings::kUsers ? serial_list::ReadAccounts(data.data(), data.size(), accounts)
                                                : serial_list::ReadTexts(data.data(), data.size(), texts);
    if (!read) Add(findings, Severity::Error, *list, "is not a list the service can read: the service ignores it");
  }
}

void CheckAccounts(const CheckProbes&, std::vector<Finding>& findings) {
  const std::optional<std::vector<CUserAccount>> accounts = StoredAccounts();
  if (!accounts) return;
  std::set<std::string> seen;
  bool catch_all_listed = false;
  const std::string catch_all = settings::ReadText(settings::kCatchAllAccount);
  for (const CUserAccount& account : *accounts) {
    const std::string& user = account.m_strUser;
    if (const std::optional<std::string> refusal = UserNameRefusal(user))
      Add(findings, Severity::Error, settings::kUsers,
          text::Format("the account \"%s\" cannot be used: %s", user.c_str(), refusal->c_str()));
    if (account.m_strPassword.empty())
      Add(findings, Severity::Warning, settings::kUsers,
          text::Format("the account \"%s\" has no password", user.c_str()));
    if (!seen.insert(text::ToLower(user)).second)
      Add(findings, Severity::Warning, settings::kUsers,
          text::Format("the user name \"%s\" is listed more than once: each password logs in", user.c_str()));
    if (text::EqualsNoCase(user, catch_all)) catch_all_listed = true;
  }
  if (!catch_all_listed)
    Add(findings, Severity::Warning, settings::kCatchAllAccount,
        text::Format("names \"%s\", which is no account: mail for unknown users goes to a mailbox nobody can "
                     "log in to",
                     catch_all.c_str()));
}

void CheckListEntries(const CheckProbes&, std::vector<Finding>& findings) {
  for (const std::string& domain : StoredTexts(settings::kDomains).value_or(std::vector<std::string>{}))
    if (text::Trim(domain).empty()) Add(findings, Severity::Warning, settings::kDomains, "holds an empty domain");
  for (const std::string& rule : StoredTexts(settings::kForwardRules).value_or(std::vector<std::string>{}))
    if (rule.find('|') == std::string::npos)
      Add(findings, Severity::Warning, settings::kForwardRules,
          text::Format("the rule \"%s\" has no \"|\" and new recipient: what it matches keeps its recipient, "
                       "and no later rule is tried",
                       rule.c_str()));
  for (const std::string& record : StoredTexts(settings::kMxRecords).value_or(std::vector<std::string>{}))
    if (text::Trim(text::ExtractField(record, 1, '|')).empty())
      Add(findings, Severity::Warning, settings::kMxRecords,
          text::Format("the record \"%s\" names no mail server", record.c_str()));
  const ListFormat ip_filter = IpFilterFormat();
  const std::optional<std::vector<std::string>> entries = StoredTexts(settings::kIPFilter);
  for (const std::string& entry : entries.value_or(std::vector<std::string>{})) {
    const ListRow row = ip_filter.split(entry);
    if (const std::optional<std::string> refusal = FilterEntryRefusal(row[0], row[1]))
      Add(findings, Severity::Warning, settings::kIPFilter,
          text::Format("the entry \"%s\" does not match as it reads: %s", entry.c_str(), refusal->c_str()));
  }
  if (ReadIpFilterMode() == 2 && entries && entries->empty())
    Add(findings, Severity::Error, settings::kIPFilterMode,
        "accepts only the listed addresses, and none is listed: every client is refused");
}

void CheckPorts(const CheckProbes& probes, std::vector<Finding>& findings) {
  for (const std::string& address : settings::ListenAddressList(settings::ReadText(settings::kListenAddresses))) {
    if (!platform::IsDottedIPv4(address))
      Add(findings, Severity::Error, settings::kListenAddresses,
          text::Format("names \"%s\", which is no IPv4 address: the listeners cannot start", address.c_str()));
  }
  const int pop3 = settings::ReadNumber(settings::kPort);
  const int smtp = settings::ReadNumber(settings::kSmtpPort);
  if (pop3 == smtp) {
    Add(findings, Severity::Error, settings::kSmtpPort,
        text::Format("is %d, the POP3 port too: the second listener cannot start", smtp));
    return;
  }
  if (!probes.port_use) return;
  for (const settings::Setting* setting : {&settings::kPort, &settings::kSmtpPort}) {
    const int port = settings::ReadNumber(*setting);
    if (port < setting->min || port > setting->max) continue;  // CheckNumbers says so
    switch (probes.port_use(port)) {
      case PortUse::OtherProgram:
        Add(findings, Severity::Error, *setting,
            text::Format("port %d is taken by another program: the service cannot listen on it", port));
        break;
      case PortUse::Untestable:
        Add(findings, Severity::Warning, *setting,
            text::Format("port %d cannot be tested: binding it needs root or CAP_NET_BIND_SERVICE", port));
        break;
      case PortUse::Free:
      case PortUse::ThisService:
        break;
    }
  }
}

constexpr ConfigurationCheck kChecks[] = {
    {"numbers and texts", CheckNumbers}, {"folders and files", CheckPaths},  {"list values", CheckListValues},
    {"accounts", CheckAccounts},         {"list entries", CheckListEntries}, {"ports", CheckPorts},
};

// Whoever answers on a port greets; ours names itself.
bool GreetsAsThisService(int port) {
  platform::Socket socket = platform::Socket::Connect("127.0.0.1", port, kGreetingWaitMs);
  if (!socket.IsValid()) return false;
  std::string greeting;
  const std::uint64_t end = platform::TickCountMs() + kGreetingWaitMs;
  while (greeting.find('\n') == std::string::npos && platform::TickCountMs() < end) {
    if (socket.PollReadable(static_cast<DWORD>(end - platform::TickCountMs())) != 1) break;
    char buffer[256];
    const long got = socket.Receive(buffer, sizeof buffer);
    if (got <= 0) break;
    greeting.append(buffer, static_cast<std::size_t>(got));
  }
  return greeting.find(kGreetingName) != std::string::npos;
}

PortUse SystemPortUse(int port) {
  if (platform::Socket::Listen(port, 1).IsValid()) return PortUse::Free;
  if (platform::LastSocketError() == WSAEACCES) return PortUse::Untestable;
  return GreetsAsThisService(port) ? PortUse::ThisService : PortUse::OtherProgram;
}

}  // namespace

void CheckSettingPath(const settings::Setting& setting, std::vector<Finding>& findings) {
  if (setting.type != settings::Type::Text || setting.path == settings::PathKind::None) return;
  const std::string path = settings::ReadText(setting);
  if (path.empty()) return;
  if (setting.path == settings::PathKind::Folder && !platform::IsDirectory(path))
    Add(findings, Severity::Error, setting,
        text::Format("names the folder %s, which does not exist (the service makes none there)", path.c_str()));
  if (setting.path != settings::PathKind::File) return;
  // A folder opens for reading too, but holds no certificate or key.
  std::string reason;
  if (platform::IsDirectory(path)) {
    reason = "it is a folder";
  } else if (!platform::File::Open(path, platform::File::Mode::Read).IsOpen()) {
    reason = text::TrimRight(SystemErrorText(platform::LastFileError()));
  }
  if (!reason.empty())
    Add(findings, Severity::Error, setting,
        text::Format("names the file %s, which cannot be read: %s", path.c_str(), reason.c_str()));
}

CheckProbes CheckProbes::System() {
  CheckProbes probes;
  probes.port_use = SystemPortUse;
  return probes;
}

std::span<const ConfigurationCheck> ConfigurationChecks() { return kChecks; }

std::vector<Finding> CheckConfiguration(const CheckProbes& probes) {
  std::vector<Finding> findings;
  for (const ConfigurationCheck& check : kChecks) check.run(probes, findings);
  return findings;
}

bool HasErrors(const std::vector<Finding>& findings) {
  for (const Finding& finding : findings)
    if (finding.severity == Severity::Error) return true;
  return false;
}

}  // namespace admin
