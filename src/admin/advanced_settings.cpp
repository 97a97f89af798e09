#include "admin/advanced_settings.h"

#include <algorithm>
#include <cstdint>

#include "admin/account_list.h"
#include "admin/value_parse.h"
#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "common/settings_table.h"
#include "common/text.h"

namespace admin {

int UpDownStep(const std::string& text, int delta, int low, int high) {
  int value = low;
  if (!ParseInt(text, value)) value = low;
  const long long next = static_cast<long long>(std::clamp(value, low, high)) + delta;
  return static_cast<int>(std::clamp<long long>(next, low, high));
}

namespace {

constexpr std::array kAdvancedFields = {
    settings::Bind(settings::kConnectionsLimit, &CAdvancedSettings::m_nConnectionsLimit),
    settings::Bind(settings::kTimeout, &CAdvancedSettings::m_nTimeout),
    settings::Bind(settings::kAuthLocal, &CAdvancedSettings::m_bAuthLocal),
    settings::Bind(settings::kAuthRemote, &CAdvancedSettings::m_bAuthRemote),
};

}  // namespace

void CAdvancedSettings::Load() { settings::LoadFields(*this, kAdvancedFields); }

void CAdvancedSettings::Save() const { settings::SaveFields(*this, kAdvancedFields); }

std::optional<CatchAllChoices> ReadCatchAllChoices() {
  CatchAllChoices choices;
  std::vector<std::uint8_t> data;
  std::string reason;
  const StoredRead read = ReadStoredList(settings::kUsers.section, settings::kUsers.name, kMaxAccountsBytes, data, reason);
  if (read == StoredRead::Missing) {
    choices.names.push_back(kAdminUser);
    choices.selected = 0;
    return choices;
  }
  std::vector<CUserAccount> accounts;
  if (read != StoredRead::Read || !serial_list::ReadAccounts(data.data(), data.size(), accounts)) return std::nullopt;
  for (const CUserAccount& account : accounts) choices.names.push_back(account.m_strUser);
  const std::string current = settings::ReadText(settings::kCatchAllAccount);
  for (std::size_t i = 0; i < choices.names.size() && choices.selected < 0; ++i)
    if (text::EqualsNoCase(choices.names[i], current)) choices.selected = static_cast<int>(i);
  if (choices.selected < 0 && !choices.names.empty()) choices.selected = 0;
  return choices;
}

void SaveCatchAllAccount(const std::string& user) {
  settings::WriteText(settings::kCatchAllAccount, user);
}

}  // namespace admin
