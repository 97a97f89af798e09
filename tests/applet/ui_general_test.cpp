// The General page: what it shows on an empty hive, what Apply writes, the
// refusal of a port that is no number, the folder picker, the log viewer's
// message, and the service state, both against a fake service manager and
// against the real service program.
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <memory>
#include <optional>

#include "applet/general_page.h"
#include "applet/mail_property_sheet.h"
#include "common/settings_registry.h"
#include "platform/paths.h"
#include "platform/service_manager.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "ui_support.h"

using namespace applet_test;

namespace {

// A service manager whose state the test sets; records the programs run.
struct FakeService {
  bool installed = true;
  DWORD state = platform::SERVICE_RUNNING;
  QStringList runs;

  applet::ServiceManagerAccess Access() {
    applet::ServiceManagerAccess access;
    access.installed = [this] { return installed; };
    access.query_state = [this]() -> std::optional<DWORD> {
      if (!installed) return std::nullopt;
      return state;
    };
    access.program_path = [this] { return installed ? std::string("/opt/quill/quillpost") : std::string(); };
    access.run_program = [this](const std::string& program, const std::string& parameters) {
      runs << QString::fromStdString(program + " " + parameters);
    };
    return access;
  }
};

// A TCP port that is free now, for the service under test.
int FreePort() {
  platform::Socket probe = platform::Socket::Listen(0, 1);
  return probe.LocalPort();
}

}  // namespace

class GeneralPageTest : public FreshHomeTest {
  Q_OBJECT

 private slots:
  void showsTheDefaultsOnAnEmptyHive() {
    FakeService fake;
    fake.installed = false;
    applet::CGeneralPage page(fake.Access());
    page.Create();
    QCOMPARE(Child<QLineEdit>(&page, "pop3PortEdit")->text(), QStringLiteral("110"));
    QCOMPARE(Child<QLineEdit>(&page, "smtpPortEdit")->text(), QStringLiteral("25"));
    QCOMPARE(Child<QLineEdit>(&page, "mailFolderEdit")->text(), QStringLiteral("C:\\Mailboxes"));
    QCOMPARE(Child<QComboBox>(&page, "logLevelCombo")->currentText(), QStringLiteral("None"));
    QCOMPARE(Child<QLineEdit>(&page, "logPathEdit")->text(), QString());
    QCOMPARE(Child<QLineEdit>(&page, "serverIdEdit")->text(),
             QStringLiteral("Kestrune Mail Server SMTP (1.0.0.0)"));
    QCOMPARE(Child<QLabel>(&page, "serviceStatusText")->text(), QStringLiteral("Not Installed"));
    QVERIFY(!Child<QPushButton>(&page, "startButton")->isEnabled());
    QVERIFY(!Child<QPushButton>(&page, "stopButton")->isEnabled());
    QVERIFY(!Child<QPushButton>(&page, "restartButton")->isVisibleTo(&page));
    QVERIFY(!page.IsModified());
    const QStringList levels = {"None", "Error", "Trace", "Debug"};
    auto* combo = Child<QComboBox>(&page, "logLevelCombo");
    QCOMPARE(combo->count(), int(levels.size()));
    for (int i = 0; i < combo->count(); ++i) QCOMPARE(combo->itemText(i), levels[i]);
  }

  void showsTheStoredValues() {
    WriteRegDword("Settings", "Port", 1110);
    WriteRegDword("Settings", "LogLevel", 3);
    WriteRegString("Settings", "MailFolder", "D:\\Mail");
    FakeService fake;
    applet::CGeneralPage page(fake.Access());
    page.Create();
    QCOMPARE(Child<QLineEdit>(&page, "pop3PortEdit")->text(), QStringLiteral("1110"));
    QCOMPARE(Child<QComboBox>(&page, "logLevelCombo")->currentText(), QStringLiteral("Debug"));
    QCOMPARE(Child<QLineEdit>(&page, "mailFolderEdit")->text(), QStringLiteral("D:\\Mail"));
  }

  void applyAfterOnlyTheLogLevelWritesAllSixValues() {
    platform::NamedEvent event;
    QVERIFY(event.Create("Mail Service Event"));
    applet::CMailPropertySheet sheet;
    sheet.show();
    Child<QComboBox>(&sheet, "logLevelCombo")->setCurrentIndex(2);
    auto* apply = Child<QPushButton>(&sheet, "applyButton");
    QVERIFY(apply->isEnabled());
    bool found = false;
    RegistryBytes("Settings", "Port", &found);
    QVERIFY2(!found, "nothing is written before Apply");
    apply->click();
    QCOMPARE(ReadRegDword("Settings", "LogLevel", -1), 2);
    QCOMPARE(ReadRegDword("Settings", "Port", -1), 110);
    QCOMPARE(ReadRegDword("Settings", "SmtpPort", -1), 25);
    QCOMPARE(ReadRegString("Settings", "MailFolder", "absent"), std::string("C:\\Mailboxes"));
    QCOMPARE(ReadRegString("Settings", "LogPath", "absent"), std::string());
    QCOMPARE(ReadRegString("Settings", "ServerID", "absent"), std::string("Kestrune Mail Server SMTP (1.0.0.0)"));
    QVERIFY(event.Wait(0));
  }

  // A port that is no number is refused with the standard message when
  // applying, when leaving the page and on OK; nothing is written.
  void refusesAPortThatIsNoNumber() {
    applet::CMailPropertySheet sheet;
    sheet.show();
    QVERIFY(QTest::qWaitForWindowActive(&sheet));
    TypeInto(&sheet, "smtpPortEdit", QStringLiteral("25a"));
    std::vector<SeenMessage> seen;

    ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    Click(&sheet, "applyButton");
    QCOMPARE(seen.size(), std::size_t(1));
    QCOMPARE(seen[0].text, QStringLiteral("Please enter an integer."));
    QCOMPARE(sheet.focusWidget(), Child(&sheet, "smtpPortEdit"));
    QCOMPARE(Child<QLineEdit>(&sheet, "smtpPortEdit")->selectedText(), QStringLiteral("25a"));

    ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    sheet.Tabs()->setCurrentIndex(2);
    QCOMPARE(seen.size(), std::size_t(2));
    QCOMPARE(sheet.Tabs()->currentIndex(), 0);

    ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    Click(&sheet, "okButton");
    QCOMPARE(seen.size(), std::size_t(3));
    QVERIFY(sheet.isVisible());
    QCOMPARE(sheet.result(), int(QDialog::Rejected));

    bool found = true;
    RegistryBytes("Settings", "Port", &found);
    QVERIFY2(!found, "nothing is saved while a port is refused");

    TypeInto(&sheet, "smtpPortEdit", QStringLiteral("2525"));
    Click(&sheet, "applyButton");
    QCOMPARE(ReadRegDword("Settings", "SmtpPort", -1), 2525);
  }

  // A port outside 1..65535 is refused on Apply with the range message;
  // the page stays on the field and nothing is written.
  void portsTakeOneTo65535_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("message");
    const QString range = QStringLiteral("Please enter an integer between 1 and 65535.");
    QTest::newRow("POP3 0") << "pop3PortEdit" << "0" << range;
    QTest::newRow("POP3 65536") << "pop3PortEdit" << "65536" << range;
    QTest::newRow("SMTP -25") << "smtpPortEdit" << "-25" << range;
    QTest::newRow("SMTP beyond int") << "smtpPortEdit" << "99999999999" << "Please enter an integer.";
    QTest::newRow("SMTP 65535") << "smtpPortEdit" << "65535" << QString();
    QTest::newRow("POP3 1") << "pop3PortEdit" << "1" << QString();
  }
  void portsTakeOneTo65535() {
    QFETCH(QString, field);
    QFETCH(QString, typed);
    QFETCH(QString, message);
    const QByteArray name = field.toLatin1();
    applet::CMailPropertySheet sheet;
    sheet.show();
    QVERIFY(QTest::qWaitForWindowActive(&sheet));
    TypeInto(&sheet, name.constData(), typed);
    std::vector<SeenMessage> seen;
    if (!message.isEmpty()) ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    Click(&sheet, "applyButton");
    const char* value = field == QStringLiteral("pop3PortEdit") ? "Port" : "SmtpPort";
    if (message.isEmpty()) {
      QCOMPARE(ReadRegDword("Settings", value, -1), typed.toInt());
      return;
    }
    QCOMPARE(seen.size(), std::size_t(1));
    QCOMPARE(seen[0].text, message);
    QCOMPARE(sheet.focusWidget(), Child(&sheet, name.constData()));
    QCOMPARE(ReadRegDword("Settings", value, -1), -1);
  }

  void browseSetsTheFolderAndCancelKeepsIt() {
    FakeService fake;
    applet::CGeneralPage page(fake.Access());
    page.Create();
    const QString chosen = HomePath() + QStringLiteral("/drive_d/Mail Store");
    QVERIFY(QDir().mkpath(chosen));

    ModalScript::WhenNamed(QStringLiteral("folderPicker"), [](QWidget* w) { qobject_cast<QFileDialog*>(w)->reject(); });
    Click(&page, "browseMailFolderButton");
    QCOMPARE(Child<QLineEdit>(&page, "mailFolderEdit")->text(), QStringLiteral("C:\\Mailboxes"));
    QVERIFY(!page.IsModified());

    QString initial;
    ModalScript::WhenNamed(QStringLiteral("folderPicker"), [&](QWidget* w) {
      auto* picker = qobject_cast<QFileDialog*>(w);
      initial = picker->windowTitle();
      ChooseFolder(picker, chosen);
    });
    Click(&page, "browseMailFolderButton");
    QCOMPARE(initial, QStringLiteral("Select a directory:"));
    QCOMPARE(Child<QLineEdit>(&page, "mailFolderEdit")->text(), QStringLiteral("D:\\Mail Store"));
    QVERIFY(page.IsModified());
  }

  void viewWithoutLogPathOrServiceSaysSo() {
    FakeService fake;
    fake.installed = false;
    applet::CGeneralPage page(fake.Access());
    page.Create();
    std::vector<SeenMessage> seen;
    ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    Click(&page, "viewLogButton");
    QCOMPARE(seen.size(), std::size_t(1));
    QCOMPARE(seen[0].caption, QStringLiteral("Problem reading log file"));
    QCOMPARE(seen[0].text, QStringLiteral("Couldn't find Mail Service path\n"
                                          "Please make sure the service is installed on your system."));
    QCOMPARE(seen[0].icon, QMessageBox::Critical);
  }

  void pollsTheServiceStateAndForwardsTheButtons() {
    FakeService fake;
    applet::CGeneralPage page(fake.Access());
    page.Create();
    auto* status = Child<QLabel>(&page, "serviceStatusText");
    auto* start = Child<QPushButton>(&page, "startButton");
    auto* stop = Child<QPushButton>(&page, "stopButton");
    QCOMPARE(status->text(), QStringLiteral("Running"));
    QVERIFY(!start->isEnabled());
    QVERIFY(stop->isEnabled());
    stop->click();
    QCOMPARE(fake.runs, QStringList{"/opt/quill/quillpost -e"});
    fake.state = platform::SERVICE_STOPPED;
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("Stopped"), 3000);
    QVERIFY(start->isEnabled());
    QVERIFY(!stop->isEnabled());
    start->click();
    QCOMPARE(fake.runs.last(), QStringLiteral("/opt/quill/quillpost -s"));
  }

  // Against the real service program: installed, started with "-s", shown
  // running; stopped with the page's Stop button, shown stopped.
  void showsTheRealServiceRunningAndStopped() {
    const QString quillpost = BuiltProgram(QStringLiteral("quillpost"));
    if (quillpost.isEmpty()) QSKIP("quillpost is not built in QP_BIN_DIR; the live service test needs it");
    WriteRegDword("Settings", "Port", FreePort());
    WriteRegDword("Settings", "SmtpPort", FreePort());
    WriteRegString("Settings", "MailFolder", "C:\\Mailboxes");
    QCOMPARE(RunQuillpost(quillpost, "-i"), 1);  // 1: installed
    const auto uninstall = qScopeGuard([&] {
      RunQuillpost(quillpost, "-e");
      RunQuillpost(quillpost, "-u");
    });
    QCOMPARE(RunQuillpost(quillpost, "-s"), 1);  // 1: running

    applet::CGeneralPage page;
    page.Create();
    auto* status = Child<QLabel>(&page, "serviceStatusText");
    auto* start = Child<QPushButton>(&page, "startButton");
    auto* stop = Child<QPushButton>(&page, "stopButton");
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("Running"), 10000);
    QVERIFY(!start->isEnabled());
    QVERIFY(stop->isEnabled());

    stop->click();
    QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("Stopped"), 20000);
    QVERIFY(start->isEnabled());
    QVERIFY(!stop->isEnabled());
  }

 private:
  static int RunQuillpost(const QString& program, const char* option) {
    QProcess process;
    process.start(program, {QString::fromLatin1(option)});
    if (!process.waitForFinished(30000)) {
      process.kill();
      return -1;
    }
    return process.exitCode();
  }
};

QP_APPLET_TEST(GeneralPageTest);
#include "ui_general_test.moc"
