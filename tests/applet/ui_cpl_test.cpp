// The Control Panel entry of the real quillpanel.cpl, loaded as the Control
// Panel loads it: every message's answer, the records, and the sheet that a
// double-click opens.
#include <QDialog>
#include <QTest>
#include <cstring>
#include <memory>

#include "applet/applet_resources.h"
#include "applet/cpl.h"
#include "platform/library.h"
#include "platform/sync.h"
#include "ui_support.h"

using namespace applet_test;

class CplTest : public FreshHomeTest {
  Q_OBJECT

 private slots:
  void initTestCase() {
    const QString path = BuiltProgram(QStringLiteral("quillpanel.cpl"));
    QVERIFY2(!path.isEmpty(), "quillpanel.cpl is not built");
    QVERIFY2(m_library.Load(path.toStdString()), m_library.ErrorText().c_str());
    m_applet = reinterpret_cast<APPLET_PROC>(m_library.Symbol(kCplAppletExport));
    QVERIFY(m_applet != nullptr);
  }

  void answersTheSimpleMessages_data() {
    QTest::addColumn<uint>("message");
    QTest::addColumn<int>("expected");
    QTest::newRow("CPL_INIT") << uint(CPL_INIT) << 1;
    QTest::newRow("CPL_GETCOUNT: one applet") << uint(CPL_GETCOUNT) << 1;
    QTest::newRow("CPL_SELECT") << uint(CPL_SELECT) << 1;
    QTest::newRow("CPL_STOP") << uint(CPL_STOP) << 1;
    QTest::newRow("CPL_EXIT") << uint(CPL_EXIT) << 0;
    QTest::newRow("unknown 0") << 0u << 1;
    QTest::newRow("unknown 1000") << 1000u << 1;
  }
  void answersTheSimpleMessages() {
    QFETCH(uint, message);
    QFETCH(int, expected);
    QCOMPARE(m_applet(nullptr, message, 0, 0), expected);
  }

  void inquireFillsCplInfo() {
    CPLINFO info;
    std::memset(&info, 0x5A, sizeof info);
    QCOMPARE(m_applet(nullptr, CPL_INQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
    QCOMPARE(info.idIcon, 100);
    QCOMPARE(info.idName, 1);
    QCOMPARE(info.idInfo, 2);
    QCOMPARE(info.lData, 0);
  }

  void newInquireFillsNewCplInfo() {
    NEWCPLINFO info;
    std::memset(&info, 0x5A, sizeof info);
    QCOMPARE(m_applet(nullptr, CPL_NEWINQUIRE, 0, reinterpret_cast<LPARAM>(&info)), 0);
    QCOMPARE(info.dwSize, DWORD(244));
    QCOMPARE(info.dwFlags, DWORD(0));
    QCOMPARE(info.dwHelpContext, DWORD(0));
    QCOMPARE(info.lData, 0);
    QCOMPARE(QString::fromLatin1(info.szName), QStringLiteral("Kestrune Mail Service"));
    QCOMPARE(QString::fromLatin1(info.szInfo), QStringLiteral("Configuration Applet for Kestrune Mail Service"));
    QCOMPARE(QString::fromLatin1(info.szHelpFile), QString());
    QCOMPARE(applet::IconIdFromHandle(info.hIcon), 100);
    QVERIFY(!applet::IconFromHandle(info.hIcon).pixmap(16, 16).isNull());
  }

  // A double-click runs the sheet modally; OK signals the reload event once
  // the sheet has closed, Cancel does not.
  void doubleClickOpensTheSheet_data() {
    QTest::addColumn<uint>("message");
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("signalled");
    QTest::newRow("CPL_DBLCLK, Cancel") << uint(CPL_DBLCLK) << "cancelButton" << false;
    QTest::newRow("CPL_DBLCLK, OK") << uint(CPL_DBLCLK) << "okButton" << true;
    QTest::newRow("CPL_STARTWPARMSA, OK") << uint(CPL_STARTWPARMSA) << "okButton" << true;
  }
  void doubleClickOpensTheSheet() {
    QFETCH(uint, message);
    QFETCH(QString, button);
    QFETCH(bool, signalled);
    platform::NamedEvent event;
    QVERIFY(event.Create("Mail Service Event"));
    QString caption;
    bool signalled_while_open = true;
    ModalScript::WhenNamed(QStringLiteral("mailPropertySheet"), [&](QWidget* sheet) {
      caption = sheet->windowTitle();
      signalled_while_open = event.Wait(0);
      Click(sheet, button.toLatin1().constData());
    });
    const char parameters[] = "ignored";
    QCOMPARE(m_applet(nullptr, message, 0, reinterpret_cast<LPARAM>(parameters)), 0);
    QCOMPARE(caption, QStringLiteral("Kestrune Mail Service Configuration"));
    QVERIFY(!signalled_while_open);
    QCOMPARE(event.Wait(0), signalled);
  }

 private:
  platform::DynamicLibrary m_library;
  APPLET_PROC m_applet = nullptr;
};

QP_APPLET_TEST(CplTest);
#include "ui_cpl_test.moc"
