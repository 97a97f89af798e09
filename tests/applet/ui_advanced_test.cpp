// The Advanced page: the time-out label and arrows, numbers stored on Apply
// only by a built page, the catch-all combo refilled when shown and stored
// at once, and the blocked senders.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <memory>

#include "applet/advanced_page.h"
#include "applet/mail_property_sheet.h"
#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "ui_support.h"

using namespace applet_test;

namespace {

constexpr int kAdvancedTab = 1;
constexpr int kAccountsTab = 2;

QLabel* LabelOf(QWidget* root, const char* edit_name) {
  QWidget* edit = Child(root, edit_name);
  for (QLabel* label : root->findChildren<QLabel*>())
    if (label->buddy() == edit) return label;
  qFatal("no label for %s", edit_name);
}

}  // namespace

class AdvancedPageTest : public FreshHomeTest {
  Q_OBJECT

 private slots:
  void labelsSayWhatTheServiceReads() {
    applet::CAdvancedPage page;
    page.Create();
    QCOMPARE(LabelOf(&page, "timeoutEdit")->text(), QStringLiteral("&Timeout (seconds):"));
    QCOMPARE(LabelOf(&page, "connectionsEdit")->text(), QStringLiteral("&Max. connections:"));
    QCOMPARE(Child<QLineEdit>(&page, "timeoutEdit")->text(), QStringLiteral("90"));
    QCOMPARE(Child<QLineEdit>(&page, "connectionsEdit")->text(), QStringLiteral("20"));
  }

  // The arrows stop at 0 and 9999; a larger typed number is stored as typed.
  void timeoutArrowsStopAtTheirEnds() {
    applet::CMailPropertySheet sheet;
    sheet.show();
    sheet.Tabs()->setCurrentIndex(kAdvancedTab);
    auto* timeout = Child<QLineEdit>(&sheet, "timeoutEdit");
    QWidget* spin = Child(&sheet, "timeoutSpin");
    TypeInto(&sheet, "timeoutEdit", QStringLiteral("9998"));
    Click(spin, "upArrow");
    Click(spin, "upArrow");
    QCOMPARE(timeout->text(), QStringLiteral("9999"));
    TypeInto(&sheet, "timeoutEdit", QStringLiteral("1"));
    Click(spin, "downArrow");
    Click(spin, "downArrow");
    QCOMPARE(timeout->text(), QStringLiteral("0"));
    timeout->setFocus();
    QTest::keyClick(timeout, Qt::Key_Up);
    QCOMPARE(timeout->text(), QStringLiteral("1"));
    TypeInto(&sheet, "timeoutEdit", QStringLiteral("12000"));
    Click(&sheet, "applyButton");
    QCOMPARE(ReadRegDword("Settings", "Timeout", -1), 12000);
    QCOMPARE(ReadRegDword("Settings", "ConnectionsLimit", -1), 20);
    QCOMPARE(ReadRegDword("Settings", "AuthRemote", -1), 1);
  }

  // Only pages whose tab was shown save on OK.
  void onlyBuiltPagesSave() {
    {
      applet::CMailPropertySheet sheet;
      sheet.show();
      Click(&sheet, "okButton");
    }
    QCOMPARE(ReadRegDword("Settings", "ConnectionsLimit", -1), -1);
    QCOMPARE(ReadRegDword("Settings", "RelayTimeout", -1), -1);
    QCOMPARE(ReadRegDword("Settings", "IPFilterMode", -1), -1);
    QCOMPARE(ReadRegDword("Settings", "Port", -1), 110);
    applet::CMailPropertySheet sheet;
    sheet.show();
    sheet.Tabs()->setCurrentIndex(kAdvancedTab);
    Click(&sheet, "okButton");
    QCOMPARE(ReadRegDword("Settings", "ConnectionsLimit", -1), 20);
  }

  void catchAllIsRefilledWhenShownAndStoredAtOnce() {
    applet::CMailPropertySheet sheet;
    sheet.show();
    sheet.Tabs()->setCurrentIndex(kAdvancedTab);
    auto* combo = Child<QComboBox>(&sheet, "catchAllCombo");
    QCOMPARE(combo->count(), 1);
    QCOMPARE(combo->currentText(), QStringLiteral("admin"));

    sheet.Tabs()->setCurrentIndex(kAccountsTab);
    FillDialog(QStringLiteral("userAccountDialog"), {{"userNameEdit", QStringLiteral("dora")}});
    Click(sheet.Page(kAccountsTab), "addButton");
    sheet.Tabs()->setCurrentIndex(kAdvancedTab);
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->itemText(1), QStringLiteral("dora"));
    // Refilling the combo stores nothing.
    QCOMPARE(ReadRegString("Settings", "CatchAllAccount", "absent"), std::string("absent"));

    combo->setCurrentIndex(1);
    emit combo->activated(1);
    QCOMPARE(ReadRegString("Settings", "CatchAllAccount", "absent"), std::string("dora"));
    Click(&sheet, "cancelButton");
    QCOMPARE(ReadRegString("Settings", "CatchAllAccount", "absent"), std::string("dora"));
  }

  void blockedSendersAreStoredAtOnce() {
    applet::CAdvancedPage page;
    page.Create();
    QString caption;
    ModalScript::WhenNamed(QStringLiteral("emailAddressDialog"), [&](QWidget* dialog) {
      caption = dialog->windowTitle();
      TypeInto(dialog, "addressEdit", QStringLiteral("spam@bad.test"));
      Click(dialog, "okButton");
    });
    Click(&page, "addButton");
    QCOMPARE(caption, QStringLiteral("Add Email Address"));
    FillDialog(QStringLiteral("emailAddressDialog"), {{"addressEdit", QStringLiteral("SPAM@bad.test")}});
    Click(&page, "addButton");
    QCOMPARE(StoredTexts("BlockMailFrom", "Rules"), QStringList{"spam@bad.test"});
    SelectListRow(&page, "blockedList", 0);
    ModalScript::WhenNamed(QStringLiteral("emailAddressDialog"), [&](QWidget* dialog) {
      caption = dialog->windowTitle();
      Click(dialog, "okButton");
    });
    Click(&page, "editButton");
    QCOMPARE(caption, QStringLiteral("Email Address"));
    Click(&page, "removeButton");
    QCOMPARE(RegistryBytes("BlockMailFrom", "Rules"), (std::vector<unsigned char>{0x00, 0x00}));
  }
};

QP_APPLET_TEST(AdvancedPageTest);
#include "ui_advanced_test.moc"
