// The property sheet: its tabs, the Apply button, the reload event on Apply
// and OK, and the message when the settings cannot be written.
#include <QDialog>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <memory>

#include "applet/mail_property_sheet.h"
#include "applet/property_page.h"
#include "platform/sync.h"
#include "ui_support.h"

using namespace applet_test;

class SheetTest : public FreshHomeTest {
  Q_OBJECT

 private slots:
  void showsEightTabsInOrderWithTheirIcons() {
    applet::CMailPropertySheet sheet;
    sheet.show();
    QCOMPARE(sheet.windowTitle(), QStringLiteral("Kestrune Mail Service Configuration"));
    QVERIFY(!sheet.windowIcon().isNull());
    QTabWidget* tabs = sheet.Tabs();
    const QStringList titles = {"General", "Advanced", "User Accounts", "Domains", "Forward Rules", "Relay",
                                "IP Filter", "Encryption"};
    QCOMPARE(tabs->count(), int(titles.size()));
    QList<QImage> icons;
    for (int i = 0; i < tabs->count(); ++i) {
      QCOMPARE(tabs->tabText(i), titles[i]);
      const QImage icon = tabs->tabIcon(i).pixmap(16, 16).toImage();
      QVERIFY2(!icon.isNull(), qPrintable(titles[i]));
      QVERIFY2(!icons.contains(icon), qPrintable(titles[i] + " has an icon of its own"));
      icons.append(icon);
    }
    QCOMPARE(tabs->currentIndex(), 0);
    QVERIFY(!sheet.findChild<QPushButton*>(QStringLiteral("helpButton")));
  }

  void buildsAPageWhenItsTabIsFirstShown() {
    applet::CMailPropertySheet sheet;
    sheet.show();
    QVERIFY(sheet.Page(0)->IsCreated());
    for (int i = 1; i < applet::kPageCount; ++i) QVERIFY(!sheet.Page(i)->IsCreated());
    sheet.Tabs()->setCurrentIndex(3);
    QVERIFY(sheet.Page(3)->IsCreated());
    QVERIFY(!sheet.Page(2)->IsCreated());
  }

  void applyIsEnabledWhileAPageIsModified() {
    applet::CMailPropertySheet sheet;
    sheet.show();
    auto* apply = Child<QPushButton>(&sheet, "applyButton");
    QVERIFY(!apply->isEnabled());
    TypeInto(&sheet, "serverIdEdit", QStringLiteral("Test Server"));
    QVERIFY(apply->isEnabled());
    apply->click();
    QVERIFY(!apply->isEnabled());
  }

  // Cancel signals nothing; Apply signals at once; OK signals after the
  // sheet closed, so Apply then OK signals twice.
  void signalsTheReloadEvent_data() {
    QTest::addColumn<bool>("apply");
    QTest::addColumn<QString>("close");
    QTest::addColumn<bool>("signalledAtClose");
    QTest::newRow("Cancel") << false << "cancelButton" << false;
    QTest::newRow("OK") << false << "okButton" << true;
    QTest::newRow("Apply, Cancel") << true << "cancelButton" << false;
    QTest::newRow("Apply, OK") << true << "okButton" << true;
  }
  void signalsTheReloadEvent() {
    QFETCH(bool, apply);
    QFETCH(QString, close);
    QFETCH(bool, signalledAtClose);
    platform::NamedEvent event;
    QVERIFY(event.Create("Mail Service Event"));
    bool signalled_before_apply = true;
    bool signalled_by_apply = false;
    bool signalled_twice_by_apply = true;
    ModalScript::WhenNamed(QStringLiteral("mailPropertySheet"), [&](QWidget* sheet) {
      signalled_before_apply = event.Wait(0);
      if (apply) {
        TypeInto(sheet, "serverIdEdit", QStringLiteral("Changed"));
        Click(sheet, "applyButton");
        signalled_by_apply = event.Wait(0);
        signalled_twice_by_apply = event.Wait(0);
      }
      Click(sheet, close.toLatin1().constData());
    });
    applet::ShowConfiguration();
    QVERIFY(!signalled_before_apply);
    if (apply) {
      QVERIFY(signalled_by_apply);
      QVERIFY(!signalled_twice_by_apply);
    }
    QCOMPARE(event.Wait(0), signalledAtClose);
  }

  // Without write access to the hive the sheet says so once and opens.
  void saysOnceWhenTheSettingsCannotBeWritten() {
    std::vector<SeenMessage> seen;
    ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    applet::CMailPropertySheet sheet;
    sheet.SetHiveWritableCheck([] { return false; });
    sheet.show();
    QTRY_COMPARE(seen.size(), std::size_t(1));
    QCOMPARE(seen[0].text, QStringLiteral("Administrator rights are needed to change the mail service settings."));
    QCOMPARE(seen[0].caption, QStringLiteral("Kestrune Mail Service Configuration"));
    QVERIFY(sheet.isVisible());
    sheet.Tabs()->setCurrentIndex(1);
    sheet.hide();
    sheet.show();
    QTest::qWait(100);
    QCOMPARE(seen.size(), std::size_t(1));
  }

  // A hive it may not read (the service's user owns it) is named, and said
  // instead of the rights to write.
  void saysWhenTheSettingsCannotBeRead() {
    std::vector<SeenMessage> seen;
    ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    applet::CMailPropertySheet sheet;
    sheet.SetHiveReadableCheck([] { return false; });
    sheet.SetHiveWritableCheck([] { return false; });
    sheet.show();
    QTRY_COMPARE(seen.size(), std::size_t(1));
    QVERIFY2(seen[0].text.startsWith(QStringLiteral("The mail service settings cannot be read: this user "
                                                    "may not read ")),
             qPrintable(seen[0].text));
    QVERIFY(seen[0].text.contains(QStringLiteral("/registry.db. Run the configuration as root")));
    QTest::qWait(100);
    QCOMPARE(seen.size(), std::size_t(1));
  }

  void saysNothingWhenTheSettingsCanBeWritten() {
    applet::CMailPropertySheet sheet;
    sheet.SetHiveWritableCheck([] { return true; });
    sheet.show();
    QTest::qWait(100);
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
  }
};

QP_APPLET_TEST(SheetTest);
#include "ui_sheet_test.moc"
