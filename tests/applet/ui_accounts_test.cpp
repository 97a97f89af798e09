// The User Accounts page and its dialog: the default account, the shown and
// stored order, whole-name matching, the admin account, and the removal of
// a mailbox.
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTest>
#include <QTreeWidget>
#include <memory>

#include "applet/user_account_page.h"
#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "platform/paths.h"
#include "ui_support.h"

using namespace applet_test;

namespace {

void StoreAccounts(std::initializer_list<const char*> users) {
  std::vector<CUserAccount> accounts;
  for (const char* user : users) accounts.push_back({user, std::string("Full ") + user, "pw"});
  const serial_list::Bytes bytes = serial_list::WriteAccounts(accounts);
  WriteRegBinary("UserAccounts", "Users", bytes.data(), bytes.size());
}

QStringList StoredUsers() {
  std::vector<std::uint8_t> data;
  std::vector<CUserAccount> accounts;
  ReadRegBinary("UserAccounts", "Users", data);
  serial_list::ReadAccounts(data.data(), data.size(), accounts);
  QStringList users;
  for (const CUserAccount& account : accounts) users << QString::fromStdString(account.m_strUser);
  return users;
}

QString Mailbox(const char* user) {
  return QString::fromStdString(platform::MapPath(std::string("c:\\Mailboxes\\") + user));
}

}  // namespace

class AccountsPageTest : public FreshHomeTest {
  Q_OBJECT

 private slots:
  void emptyHiveShowsAndStoresAdmin() {
    applet::CUserAccountPage page;
    page.Create();
    QCOMPARE(RowTexts(&page, "accountsList"), QStringList{"admin|Administrator"});
    QCOMPARE(StoredUsers(), QStringList{"admin"});
    QVERIFY(QDir(Mailbox("admin")).exists());
    auto* list = Child<QTreeWidget>(&page, "accountsList");
    QCOMPARE(list->headerItem()->text(0), QStringLiteral("Username"));
    QCOMPARE(list->headerItem()->text(1), QStringLiteral("Full name"));
  }

  void showsReversedAndAddsAtTheEnd() {
    StoreAccounts({"anna", "bert", "carl"});
    applet::CUserAccountPage page;
    page.Create();
    QCOMPARE(RowTexts(&page, "accountsList"), (QStringList{"carl|Full carl", "bert|Full bert", "anna|Full anna"}));
    QString caption;
    ModalScript::WhenNamed(QStringLiteral("userAccountDialog"), [&](QWidget* dialog) {
      caption = dialog->windowTitle();
      TypeInto(dialog, "userNameEdit", QStringLiteral("dora"));
      TypeInto(dialog, "fullNameEdit", QStringLiteral("Dora Holm"));
      TypeInto(dialog, "passwordEdit", QStringLiteral("secret"));
      QCOMPARE(Child<QLineEdit>(dialog, "passwordEdit")->echoMode(), QLineEdit::Password);
      Click(dialog, "okButton");
    });
    Click(&page, "addButton");
    QCOMPARE(caption, QStringLiteral("Add User Account"));
    QCOMPARE(StoredUsers(), (QStringList{"carl", "bert", "anna", "dora"}));
    QCOMPARE(RowTexts(&page, "accountsList").last(), QStringLiteral("dora|Dora Holm"));
    QVERIFY(QDir(Mailbox("dora")).exists());
    QVERIFY(page.IsModified());
  }

  void johnCanBeAddedBesideJohnny() {
    StoreAccounts({"johnny"});
    applet::CUserAccountPage page;
    page.Create();
    FillDialog(QStringLiteral("userAccountDialog"), {{"userNameEdit", QStringLiteral("JOHNNY")}});
    Click(&page, "addButton");
    QCOMPARE(StoredUsers(), QStringList{"johnny"});
    QVERIFY(!page.IsModified());
    FillDialog(QStringLiteral("userAccountDialog"), {{"userNameEdit", QStringLiteral("john")}});
    Click(&page, "addButton");
    QCOMPARE(StoredUsers(), (QStringList{"johnny", "john"}));
  }

  // An empty user name is refused with a message on Add and on Edit; the
  // dialog stays open on the field until the name is mended or cancelled.
  void emptyUserNameIsRefusedOnAddAndEdit() {
    StoreAccounts({"admin", "anna"});
    applet::CUserAccountPage page;
    page.Create();
    std::vector<SeenMessage> seen;
    bool open_after_message = false;
    bool focus_on_user = false;
    ModalScript::WhenNamed(QStringLiteral("userAccountDialog"), [&](QWidget* dialog) {
      TypeInto(dialog, "fullNameEdit", QStringLiteral("No Name"));
      ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
      Click(dialog, "okButton");
      open_after_message = dialog->isVisible();
      focus_on_user = dialog->focusWidget() == Child(dialog, "userNameEdit");
      TypeInto(dialog, "userNameEdit", QStringLiteral("dora"));
      Click(dialog, "okButton");
    });
    Click(&page, "addButton");
    QVERIFY(open_after_message);
    QVERIFY(focus_on_user);
    QCOMPARE(seen.size(), std::size_t(1));
    QCOMPARE(seen[0].text, QStringLiteral("Please enter a user name."));
    QCOMPARE(seen[0].caption, QStringLiteral("Add User Account"));
    QCOMPARE(seen[0].icon, QMessageBox::Warning);
    QCOMPARE(StoredUsers(), (QStringList{"anna", "admin", "dora"}));

    SelectListRow(&page, "accountsList", 0);  // anna
    ModalScript::WhenNamed(QStringLiteral("userAccountDialog"), [&](QWidget* dialog) {
      TypeInto(dialog, "userNameEdit", QString());
      ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
      Click(dialog, "okButton");
      open_after_message = dialog->isVisible();
      TypeInto(dialog, "userNameEdit", QStringLiteral(".."));
      ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
      Click(dialog, "okButton");
      Click(dialog, "cancelButton");
    });
    Click(&page, "editButton");
    QVERIFY(open_after_message);
    QCOMPARE(seen.size(), std::size_t(3));
    QCOMPARE(seen[1].caption, QStringLiteral("Edit User Account"));
    QCOMPARE(seen[1].text, QStringLiteral("Please enter a user name."));
    QVERIFY2(seen[2].text.startsWith(QStringLiteral("This user name cannot name a mailbox folder.")),
             qPrintable(seen[2].text));
    QCOMPARE(StoredUsers(), (QStringList{"anna", "admin", "dora"}));
  }

  void editingAdminKeepsItsUserName() {
    applet::CUserAccountPage page;
    page.Create();
    SelectListRow(&page, "accountsList", 0);
    bool user_enabled = true;
    QString caption;
    ModalScript::WhenNamed(QStringLiteral("userAccountDialog"), [&](QWidget* dialog) {
      caption = dialog->windowTitle();
      user_enabled = Child(dialog, "userNameEdit")->isEnabled();
      TypeInto(dialog, "fullNameEdit", QStringLiteral("The Boss"));
      Click(dialog, "okButton");
    });
    auto* list = Child<QTreeWidget>(&page, "accountsList");
    emit list->itemDoubleClicked(list->topLevelItem(0), 0);
    QCOMPARE(caption, QStringLiteral("Edit User Account"));
    QVERIFY(!user_enabled);
    QCOMPARE(RowTexts(&page, "accountsList"), QStringList{"admin|The Boss"});
  }

  void adminCannotBeRemoved() {
    applet::CUserAccountPage page;
    page.Create();
    SelectListRow(&page, "accountsList", 0);
    std::vector<SeenMessage> seen;
    ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    Click(&page, "removeButton");
    QCOMPARE(seen.size(), std::size_t(1));
    QCOMPARE(seen[0].text, QStringLiteral("You can't delete the admin account!"));
    QCOMPARE(seen[0].caption, QStringLiteral("User Accounts"));
    QCOMPARE(seen[0].icon, QMessageBox::Critical);
    QCOMPARE(StoredUsers(), QStringList{"admin"});
  }

  void removeWithoutSelectionDoesNothing() {
    StoreAccounts({"admin", "anna"});
    applet::CUserAccountPage page;
    page.Create();
    Click(&page, "removeButton");
    QCOMPARE(StoredUsers(), (QStringList{"admin", "anna"}));
  }

  // Yes deletes the messages and the folder; No keeps them; files other
  // than messages keep the folder and the system's error text is shown.
  void removeAsksAboutTheMessages_data() {
    QTest::addColumn<bool>("yes");
    QTest::addColumn<bool>("otherFile");
    QTest::newRow("No") << false << false;
    QTest::newRow("Yes") << true << false;
    QTest::newRow("Yes, other file left") << true << true;
  }
  void removeAsksAboutTheMessages() {
    QFETCH(bool, yes);
    QFETCH(bool, otherFile);
    StoreAccounts({"admin", "anna"});
    applet::CUserAccountPage page;
    page.Create();
    const QDir folder(Mailbox("anna"));
    for (const char* name : {"1.eml", "2.eml"}) {
      QFile file(folder.filePath(QString::fromLatin1(name)));
      QVERIFY(file.open(QIODevice::WriteOnly));
    }
    if (otherFile) {
      QFile file(folder.filePath(QStringLiteral("notes.txt")));
      QVERIFY(file.open(QIODevice::WriteOnly));
    }
    SelectListRow(&page, "accountsList", 0);
    std::vector<SeenMessage> seen;
    ModalScript::AnswerMessage(yes ? QMessageBox::Yes : QMessageBox::No, &seen);
    if (otherFile) ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    Click(&page, "removeButton");
    QCOMPARE(StoredUsers(), QStringList{"admin"});
    QCOMPARE(seen[0].text, QStringLiteral("Do you also want to remove all messages for this user?"));
    QCOMPARE(seen[0].caption, QStringLiteral("Delete User Account"));
    QCOMPARE(seen[0].icon, QMessageBox::Question);
    QCOMPARE(folder.exists(), !yes || otherFile);
    QCOMPARE(folder.exists(QStringLiteral("1.eml")), !yes);
    QCOMPARE(page.IsModified(), yes);
    QCOMPARE(seen.size(), std::size_t(otherFile ? 2 : 1));
    if (otherFile) {
      QCOMPARE(seen[1].text, QStringLiteral("The directory is not empty."));
      QCOMPARE(seen[1].caption, QStringLiteral("Delete User Account"));
      QCOMPARE(seen[1].icon, QMessageBox::Critical);
    }
  }
};

QP_APPLET_TEST(AccountsPageTest);
#include "ui_accounts_test.moc"
