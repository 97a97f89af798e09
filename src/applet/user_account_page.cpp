#include "applet/user_account_page.h"

#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/system_messages.h"
#include "applet/admin_names.h"
#include "applet/applet_ui.h"
#include "applet/entry_dialogs.h"

namespace applet {

CUserAccountPage::CUserAccountPage() : CPropertyPage(tr("User Accounts")) {
  setObjectName(QStringLiteral("userAccountPage"));
}

void CUserAccountPage::OnInitDialog() {
  const ListWithButtons parts =
      MakeListWithButtons(this, {tr("Username"), tr("Full name")}, QStringLiteral("accountsList"));
  m_pList = parts.list;
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(parts.box);
  connect(parts.add, &QPushButton::clicked, this, &CUserAccountPage::OnAdd);
  connect(parts.edit, &QPushButton::clicked, this, &CUserAccountPage::OnEdit);
  connect(parts.remove, &QPushButton::clicked, this, &CUserAccountPage::OnRemove);
  connect(m_pList, &QTreeWidget::itemDoubleClicked, this, &CUserAccountPage::OnEdit);

  m_arrAccounts.LoadAccounts();
  ShowRows();
  if (m_arrAccounts.ReadProblem())
    ShowUnreadableList(*m_arrAccounts.ReadProblem(), {parts.add, parts.edit, parts.remove});
}

void CUserAccountPage::ShowRows() {
  m_pList->clear();
  for (const CUserAccount& account : m_arrAccounts.Rows()) {
    auto* item = new QTreeWidgetItem(m_pList);
    item->setText(0, ToQ(account.m_strUser));
    item->setText(1, ToQ(account.m_strFullName));
  }
  AutoSizeColumns(m_pList);
}

void CUserAccountPage::OnAdd() {
  CUserAccountDlg dialog(this);
  if (dialog.DoModal() != QDialog::Accepted) return;
  const CUserAccount account{dialog.m_strUser, dialog.m_strFullName, dialog.m_strPassword};
  if (!m_arrAccounts.Add(account)) return;  // the user name is listed already
  ShowRows();
  SetModified();
  ReloadService();
}

void CUserAccountPage::OnEdit() {
  const int row = FirstSelectedRow(m_pList);
  if (row < 0) return;
  const CUserAccount& current = m_arrAccounts.Rows()[static_cast<std::size_t>(row)];
  CUserAccountDlg dialog(this);
  dialog.m_strCaption = FromQ(tr("Edit User Account"));
  dialog.m_strUser = current.m_strUser;
  dialog.m_strFullName = current.m_strFullName;
  dialog.m_strPassword = current.m_strPassword;
  if (dialog.DoModal() != QDialog::Accepted) return;
  if (!m_arrAccounts.Edit(row, {dialog.m_strUser, dialog.m_strFullName, dialog.m_strPassword})) return;
  ShowRows();
  SelectRow(m_pList, row);
  SetModified();
  ReloadService();
}

void CUserAccountPage::OnRemove() {
  const int row = FirstSelectedRow(m_pList);
  std::string user;
  switch (m_arrAccounts.Remove(row, &user)) {
    case CAccountList::RemoveResult::NoRow:
      return;
    case CAccountList::RemoveResult::AdminRefused:
      ShowMessage(this, QString::fromLatin1(kCantDeleteAdminText), QString::fromLatin1(kCantDeleteAdminCaption),
                  QMessageBox::Critical);
      return;
    case CAccountList::RemoveResult::Removed:
      break;
  }
  ShowRows();
  const auto answer = ShowMessage(this, QString::fromLatin1(kRemoveMessagesText),
                                  QString::fromLatin1(kDeleteAccountCaption), QMessageBox::Question,
                                  QMessageBox::Yes | QMessageBox::No);
  if (answer == QMessageBox::Yes) {
    const LONG error = RemoveMailboxFolder(user);
    if (error != ERROR_SUCCESS)
      ShowMessage(this, ToQ(SystemErrorText(error)).trimmed(), QString::fromLatin1(kDeleteAccountCaption),
                  QMessageBox::Critical);
    SetModified();
  }
  // The list is stored already: the service drops the account whatever the
  // answer about its messages.
  ReloadService();
}

}  // namespace applet
