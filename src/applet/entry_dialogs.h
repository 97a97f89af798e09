// The small modal dialogs of the list pages, each a few labelled text fields
// with OK and Cancel: the account, domain, forward rule, DNS record, MX test
// and e-mail address dialogs. Each has a caption member that, when not
// empty, replaces its own title; DoModal shows the members in the fields,
// runs the dialog and takes the fields back into the members on OK.
//
// The account dialog refuses a user name that cannot make an account, and
// the forward rule and DNS record dialogs a "|" in either text (they are
// stored as two texts joined by "|"): each with a message, and the dialog
// stays open on the field.
#pragma once

#include <QDialog>
#include <string>
#include <utility>
#include <vector>

class QFormLayout;
class QLineEdit;

namespace applet {

class CEntryDialog : public QDialog {
  Q_OBJECT

 public:
  // Runs the dialog; QDialog::Accepted when it ended with OK.
  int DoModal();
  // Sets the caption and shows the members in the fields (DoModal's first
  // step; for pictures of the dialog).
  void Prepare();

  std::string m_strCaption;

 protected:
  CEntryDialog(QWidget* parent, const QString& template_title, const QString& object_name);
  // A text field bound to a member, after its label.
  QLineEdit* AddField(const QString& label, const QString& object_name, std::string* member);
  // Called on OK with the fields taken into the members; false keeps the
  // dialog open.
  virtual bool Validate() { return true; }
  // Shows `message`, puts the focus into the field with its text selected
  // and returns false.
  bool Refuse(QLineEdit* edit, const QString& message);
  // Refuses a "|" in any of the members with `message`.
  bool RefuseBars(const std::vector<std::pair<QLineEdit*, std::string*>>& fields, const char* message);
  virtual void OnInitDialog() {}

 private:
  void OnOk();

  QFormLayout* m_pForm;
  std::vector<std::pair<QLineEdit*, std::string*>> m_arrFields;
};

class CUserAccountDlg : public CEntryDialog {
  Q_OBJECT
 public:
  explicit CUserAccountDlg(QWidget* parent);
  std::string m_strFullName;
  std::string m_strPassword;
  std::string m_strUser;

 protected:
  void OnInitDialog() override;
  bool Validate() override;

 private:
  QLineEdit* m_pUser;
};

class CDomainDlg : public CEntryDialog {
  Q_OBJECT
 public:
  explicit CDomainDlg(QWidget* parent);
  std::string m_strDomain;
};

class CForwardRuleDlg : public CEntryDialog {
  Q_OBJECT
 public:
  explicit CForwardRuleDlg(QWidget* parent);
  std::string m_strFrom;
  std::string m_strTo;

 protected:
  bool Validate() override;

 private:
  QLineEdit* m_pFrom;
  QLineEdit* m_pTo;
};

class CDnsRecordDlg : public CEntryDialog {
  Q_OBJECT
 public:
  explicit CDnsRecordDlg(QWidget* parent);
  std::string m_strDomain;
  std::string m_strMailServer;

 protected:
  bool Validate() override;

 private:
  QLineEdit* m_pDomain;
  QLineEdit* m_pMailServer;
};

class CGetMxRecordDlg : public CEntryDialog {
  Q_OBJECT
 public:
  explicit CGetMxRecordDlg(QWidget* parent);
  std::string m_strAddress;
};

class CEmailAddressDlg : public CEntryDialog {
  Q_OBJECT
 public:
  explicit CEmailAddressDlg(QWidget* parent);
  std::string m_strAddress;
};

}  // namespace applet
