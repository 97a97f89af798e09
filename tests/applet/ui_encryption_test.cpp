// The Encryption page: what it shows on an empty hive, what Apply stores for
// each control (and what a fresh page then shows), the refusal of a port
// outside 0..65535, and the file pickers of the two files.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QTest>

#include "applet/encryption_page.h"
#include "common/settings_registry.h"
#include "ui_support.h"

using namespace applet_test;

namespace {

// The six controls of the page, each with the value it stores and what it
// shows on an empty hive.
struct Control {
  const char* name;
  const char* value;
  bool number;
  QString shown;  // a field's text, or "0"/"1" for a check box
};
const Control kControls[] = {
    {"certificateEdit", "TlsCertificate", false, ""}, {"privateKeyEdit", "TlsPrivateKey", false, ""},
    {"smtpsPortEdit", "SmtpsPort", true, "0"},        {"pop3sPortEdit", "Pop3sPort", true, "0"},
    {"tlsAuthOnlyCheck", "TlsAuthOnly", true, "0"},   {"relayTlsCheck", "RelayTls", true, "0"},
};

QString Shown(QWidget* page, const char* name) {
  QWidget* control = Child(page, name);
  if (auto* check = qobject_cast<QCheckBox*>(control)) return check->isChecked() ? "1" : "0";
  return qobject_cast<QLineEdit*>(control)->text();
}

// The stored value as text, "absent" when there is none.
QString Stored(const Control& control) {
  bool found = false;
  RegistryBytes("Settings", control.value, &found);
  if (!found) return QStringLiteral("absent");
  if (control.number) return QString::number(ReadRegDword("Settings", control.value, -1));
  return QString::fromStdString(ReadRegString("Settings", control.value, "absent"));
}

}  // namespace

class EncryptionPageTest : public FreshHomeTest {
  Q_OBJECT

 private slots:
  void showsTheDefaultsAndStoresNothingBeforeApply() {
    applet::CEncryptionPage page;
    page.Create();
    for (const Control& control : kControls) {
      QCOMPARE(Shown(&page, control.name), control.shown);
      QCOMPARE(Stored(control), QStringLiteral("absent"));
    }
    QVERIFY(!page.IsModified());
  }

  // One change of one control: it marks the page modified; Apply stores it
  // with the other five at their defaults, and a page made afterwards shows
  // it. A refused port stores nothing and keeps the focus in its field.
  void applyStoresWhatAControlShows_data() {
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("typed");  // empty: the check box is clicked
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("refusal");
    const QString range = QStringLiteral("Please enter an integer between 0 and 65535.");
    QTest::newRow("certificate") << "certificateEdit" << "C:\\Certificates\\mail.pem" << "C:\\Certificates\\mail.pem"
                                 << QString();
    QTest::newRow("private key") << "privateKeyEdit" << "/etc/ssl/private/mail.key" << "/etc/ssl/private/mail.key"
                                 << QString();
    QTest::newRow("SMTP port 465") << "smtpsPortEdit" << "465" << "465" << QString();
    QTest::newRow("POP3 port 65535") << "pop3sPortEdit" << "65535" << "65535" << QString();
    QTest::newRow("passwords") << "tlsAuthOnlyCheck" << QString() << "1" << QString();
    QTest::newRow("relaying") << "relayTlsCheck" << QString() << "1" << QString();
    QTest::newRow("SMTP port 65536") << "smtpsPortEdit" << "65536" << "absent" << range;
    QTest::newRow("POP3 port -1") << "pop3sPortEdit" << "-1" << "absent" << range;
    QTest::newRow("POP3 port no number") << "pop3sPortEdit" << "995x" << "absent"
                                         << "Please enter an integer.";
  }
  void applyStoresWhatAControlShows() {
    QFETCH(QString, control);
    QFETCH(QString, typed);
    QFETCH(QString, stored);
    QFETCH(QString, refusal);
    const QByteArray name = control.toLatin1();
    applet::CEncryptionPage page;
    page.Create();
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    if (typed.isEmpty()) {
      Click(&page, name.constData());
    } else {
      TypeInto(&page, name.constData(), typed);
    }
    QVERIFY(page.IsModified());
    std::vector<SeenMessage> seen;
    if (!refusal.isEmpty()) ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    QCOMPARE(page.OnApply(), refusal.isEmpty());
    const Control* changed = nullptr;
    for (const Control& c : kControls)
      if (control == QLatin1String(c.name)) changed = &c;
    QVERIFY(changed != nullptr);
    QCOMPARE(Stored(*changed), stored);
    if (!refusal.isEmpty()) {
      QCOMPARE(seen.size(), std::size_t(1));
      QCOMPARE(seen[0].text, refusal);
      QCOMPARE(page.focusWidget(), Child(&page, name.constData()));
      return;
    }
    applet::CEncryptionPage again;
    again.Create();
    for (const Control& c : kControls) {
      const QString expected = &c == changed ? stored : c.shown;
      QCOMPARE(Stored(c), expected);
      QCOMPARE(Shown(&again, c.name), expected);
    }
  }

  // The ".." buttons open a file picker: cancelling keeps the text, a chosen
  // file below a drive folder comes back in its drive letter form.
  void browseChoosesAFileAndCancelKeepsIt() {
    applet::CEncryptionPage page;
    page.Create();
    const QString folder = HomePath() + QStringLiteral("/drive_c/Certificates");
    QVERIFY(QDir().mkpath(folder));
    const QString key = folder + QStringLiteral("/mail.key");
    QFile file(key);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    ModalScript::WhenNamed(QStringLiteral("filePicker"), [](QWidget* w) { qobject_cast<QFileDialog*>(w)->reject(); });
    Click(&page, "browsePrivateKeyButton");
    QCOMPARE(Shown(&page, "privateKeyEdit"), QString());
    QVERIFY(!page.IsModified());

    QString title;
    ModalScript::WhenNamed(QStringLiteral("filePicker"), [&](QWidget* w) {
      auto* picker = qobject_cast<QFileDialog*>(w);
      title = picker->windowTitle();
      ChooseFolder(picker, key);  // types the path and confirms, as for a folder
    });
    Click(&page, "browsePrivateKeyButton");
    QCOMPARE(title, QStringLiteral("Select the private key file:"));
    QCOMPARE(Shown(&page, "privateKeyEdit"), QStringLiteral("C:\\Certificates\\mail.key"));
    QVERIFY(page.IsModified());

    // The picker starts in the folder of the file the field names.
    QString start;
    ModalScript::WhenNamed(QStringLiteral("filePicker"), [&](QWidget* w) {
      auto* picker = qobject_cast<QFileDialog*>(w);
      start = picker->directory().absolutePath();
      picker->reject();
    });
    TypeInto(&page, "certificateEdit", QStringLiteral("C:\\Certificates\\mail.pem"));
    Click(&page, "browseCertificateButton");
    QCOMPARE(start, folder);
  }
};

QP_APPLET_TEST(EncryptionPageTest);
#include "ui_encryption_test.moc"
