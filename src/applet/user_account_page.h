// CUserAccountPage ("User Accounts"): the mail accounts, newest at the
// bottom, with Add, Edit and Remove; the list is stored at once after every
// change, a new account gets its mailbox folder, and a removed account's
// messages and folder are deleted when the user says so. The account admin
// cannot be removed.
#pragma once

#include "admin/account_list.h"
#include "applet/admin_names.h"
#include "applet/property_page.h"

class QTreeWidget;

namespace applet {

class CUserAccountPage : public CPropertyPage {
  Q_OBJECT

 public:
  CUserAccountPage();
  const CAccountList& Accounts() const { return m_arrAccounts; }
  // The list is stored already; Apply and OK only check its size.
  bool OnOK() override { return AcceptListSize(m_arrAccounts.TooLargeText()); }

 protected:
  void OnInitDialog() override;

 private slots:
  void OnAdd();
  void OnEdit();
  void OnRemove();

 private:
  // Shows the accounts and sizes the columns to them.
  void ShowRows();

  QTreeWidget* m_pList = nullptr;
  CAccountList m_arrAccounts;
};

}  // namespace applet
