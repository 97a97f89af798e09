// The account lookup of the login check (see user_account.h).
#include "common/user_account.h"

#include "platform/ascii.h"

const CUserAccount* FindAccount(const std::vector<CUserAccount>& accounts, const std::string& user,
                                const std::string& password) {
  if (user.empty() || password.empty()) return nullptr;
  for (const CUserAccount& account : accounts) {
    if (platform::EqualsNoCase(account.m_strUser, user) && platform::EqualsNoCase(account.m_strPassword, password))
      return &account;
  }
  return nullptr;
}
