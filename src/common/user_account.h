// The account record shared by the service and the applet: user name (login
// and mailbox folder name, compared without regard to case), full name (for
// display only) and password (plain text). Stored in the "UserAccounts" /
// "Users" list in this member order.
#pragma once

#include <string>
#include <vector>

// The account there is when no accounts list is stored: "admin", full name
// "Administrator", no password (it takes mail, but cannot log in until it
// has one). The admin account cannot be removed.
inline constexpr const char* kAdminUser = "admin";
inline constexpr const char* kAdminFullName = "Administrator";

struct CUserAccount {
  std::string m_strUser;
  std::string m_strFullName;
  std::string m_strPassword;

  bool operator==(const CUserAccount&) const = default;
};

// The first account with this user name and this password, both compared
// without regard to case; null when there is none. An empty user name or
// password never matches: such an account (the default one until it has a
// password) cannot log in, over SMTP or POP3.
const CUserAccount* FindAccount(const std::vector<CUserAccount>& accounts, const std::string& user,
                                const std::string& password);
