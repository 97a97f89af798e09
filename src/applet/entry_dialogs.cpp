#include "applet/entry_dialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "admin/account_list.h"
#include "admin/stored_list.h"
#include "applet/admin_names.h"
#include "applet/applet_ui.h"

namespace applet {

// Entry fields are wide enough for a long address or host name.
constexpr int kFieldMinWidth = 260;

CEntryDialog::CEntryDialog(QWidget* parent, const QString& template_title, const QString& object_name)
    : QDialog(parent) {
  setObjectName(object_name);
  setWindowTitle(template_title);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  auto* layout = new QVBoxLayout(this);
  m_pForm = new QFormLayout;
  layout->addLayout(m_pForm);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("okButton"));
  buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancelButton"));
  connect(buttons, &QDialogButtonBox::accepted, this, &CEntryDialog::OnOk);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  PlainButtons(buttons);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

QLineEdit* CEntryDialog::AddField(const QString& label, const QString& object_name, std::string* member) {
  auto* edit = new QLineEdit(this);
  edit->setObjectName(object_name);
  edit->setMinimumWidth(kFieldMinWidth);
  m_pForm->addRow(label, edit);
  m_arrFields.emplace_back(edit, member);
  return edit;
}

int CEntryDialog::DoModal() {
  Prepare();
  return exec();
}

void CEntryDialog::Prepare() {
  if (!m_strCaption.empty()) setWindowTitle(ToQ(m_strCaption));
  for (auto& [edit, member] : m_arrFields) edit->setText(ToQ(*member));
  OnInitDialog();
}

void CEntryDialog::OnOk() {
  for (auto& [edit, member] : m_arrFields) *member = FromQ(edit->text());
  if (Validate()) accept();
}

bool CEntryDialog::Refuse(QLineEdit* edit, const QString& message) {
  ShowMessage(this, message, windowTitle(), QMessageBox::Warning);
  edit->setFocus();
  edit->selectAll();
  return false;
}

bool CEntryDialog::RefuseBars(const std::vector<std::pair<QLineEdit*, std::string*>>& fields, const char* message) {
  for (const auto& [edit, member] : fields)
    if (!IsStorableInBarList(*member)) return Refuse(edit, QString::fromLatin1(message));
  return true;
}

CUserAccountDlg::CUserAccountDlg(QWidget* parent)
    : CEntryDialog(parent, tr("Add User Account"), QStringLiteral("userAccountDialog")) {
  m_pUser = AddField(tr("Username:"), QStringLiteral("userNameEdit"), &m_strUser);
  AddField(tr("Full Name:"), QStringLiteral("fullNameEdit"), &m_strFullName);
  QLineEdit* password = AddField(tr("Password:"), QStringLiteral("passwordEdit"), &m_strPassword);
  password->setEchoMode(QLineEdit::Password);
  // Every character shows as "*", with no margins.
  password->setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));
  password->setTextMargins(0, 0, 0, 0);
}

void CUserAccountDlg::OnInitDialog() {
  // The admin account keeps its user name.
  m_pUser->setEnabled(!IsAdminUser(m_strUser));
}

bool CUserAccountDlg::Validate() {
  if (const std::optional<std::string> refusal = UserNameRefusal(m_strUser)) return Refuse(m_pUser, ToQ(*refusal));
  return true;
}

CDomainDlg::CDomainDlg(QWidget* parent) : CEntryDialog(parent, tr("Add Domain"), QStringLiteral("domainDialog")) {
  AddField(tr("&Domain:"), QStringLiteral("domainEdit"), &m_strDomain);
}

CForwardRuleDlg::CForwardRuleDlg(QWidget* parent)
    : CEntryDialog(parent, tr("Add Forward Rule"), QStringLiteral("forwardRuleDialog")) {
  m_pFrom = AddField(tr("From:"), QStringLiteral("fromEdit"), &m_strFrom);
  m_pTo = AddField(tr("To:"), QStringLiteral("toEdit"), &m_strTo);
}

bool CForwardRuleDlg::Validate() { return RefuseBars({{m_pFrom, &m_strFrom}, {m_pTo, &m_strTo}}, kForwardRuleBarText); }

CDnsRecordDlg::CDnsRecordDlg(QWidget* parent)
    : CEntryDialog(parent, tr("Add DNS Record"), QStringLiteral("dnsRecordDialog")) {
  m_pDomain = AddField(tr("&Domain:"), QStringLiteral("domainEdit"), &m_strDomain);
  m_pMailServer = AddField(tr("&Mail Server:"), QStringLiteral("mailServerEdit"), &m_strMailServer);
}

bool CDnsRecordDlg::Validate() {
  return RefuseBars({{m_pDomain, &m_strDomain}, {m_pMailServer, &m_strMailServer}}, kDnsRecordBarText);
}

CGetMxRecordDlg::CGetMxRecordDlg(QWidget* parent)
    : CEntryDialog(parent, tr("Get MX Record"), QStringLiteral("getMxRecordDialog")) {
  AddField(tr("&Email Address:"), QStringLiteral("addressEdit"), &m_strAddress);
}

CEmailAddressDlg::CEmailAddressDlg(QWidget* parent)
    : CEntryDialog(parent, tr("Add Email Address"), QStringLiteral("emailAddressDialog")) {
  AddField(tr("&Address:"), QStringLiteral("addressEdit"), &m_strAddress);
}

}  // namespace applet
