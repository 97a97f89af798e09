// The IP Filter page and the address dialog: single addresses, ranges and
// patterns as stored, duplicates, the range part, the characters a part
// takes, and the mode.
#include <QLineEdit>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <memory>

#include "applet/ip_address_dlg.h"
#include "applet/ip_filter_page.h"
#include "applet/mail_property_sheet.h"
#include "common/settings_registry.h"
#include "ui_support.h"

using namespace applet_test;

namespace {

constexpr int kIpFilterTab = 6;

void TypeAddress(QWidget* dialog, const char* prefix, const QStringList& parts) {
  for (int i = 0; i < 4; ++i)
    TypeInto(dialog, (QByteArray(prefix) + QByteArray::number(i + 1)).constData(), parts[i]);
}

// Answers the next address dialog with a start and, when given, a range end.
void AnswerAddress(const QStringList& start, const QStringList& end = {}) {
  ModalScript::WhenNamed(QStringLiteral("ipAddressDialog"), [start, end](QWidget* dialog) {
    TypeAddress(dialog, "startPart", start);
    if (!end.isEmpty()) {
      Click(dialog, "rangeCheck");
      TypeAddress(dialog, "endPart", end);
    }
    Click(dialog, "okButton");
  });
}

}  // namespace

class IpFilterPageTest : public FreshHomeTest {
  Q_OBJECT

 private slots:
  void storesAddressesRangesAndPatterns() {
    applet::CIpFilterPage page;
    page.Create();
    AnswerAddress({"10", "0", "0", "1"});
    Click(&page, "addButton");
    QCOMPARE(RowTexts(&page, "addressesList"), QStringList{"10.0.0.1|10.0.0.1"});
    QCOMPARE(StoredTexts("IpFilter", "Addresses"), QStringList{"10.0.0.1 10.0.0.1"});
    AnswerAddress({"10", "0", "0", "1"});
    Click(&page, "addButton");
    AnswerAddress({"10", "0", "0", "1"}, {"10", "0", "0", "9"});
    Click(&page, "addButton");
    AnswerAddress({"10", "0", "0", "1"}, {"10", "0", "0", "9"});
    Click(&page, "addButton");
    AnswerAddress({"192", "168", "*", "*"});
    Click(&page, "addButton");
    QCOMPARE(StoredTexts("IpFilter", "Addresses"),
             (QStringList{"10.0.0.1 10.0.0.1", "10.0.0.1 10.0.0.9", "192.168.*.* 192.168.*.*"}));
    QVERIFY(page.IsModified());
  }

  void rangePartStartsFromTheStartAndHidesAgain() {
    applet::CIpAddressDlg dialog(nullptr);
    dialog.Prepare();
    QVERIFY(!dialog.RangeShown());
    QVERIFY(!Child(&dialog, "endPart1")->isVisibleTo(&dialog));
    TypeAddress(&dialog, "startPart", {"172", "16", "0", "5"});
    Click(&dialog, "rangeCheck");
    QVERIFY(dialog.RangeShown());
    QVERIFY(Child(&dialog, "endPart1")->isVisibleTo(&dialog));
    QCOMPARE(Child<QLineEdit>(&dialog, "endPart1")->text(), QStringLiteral("172"));
    QCOMPARE(Child<QLineEdit>(&dialog, "endPart4")->text(), QStringLiteral("5"));
    Click(&dialog, "rangeCheck");
    QVERIFY(!dialog.RangeShown());
    Click(&dialog, "okButton");
    QCOMPARE(dialog.m_strStart, std::string("172.16.0.5"));
    QCOMPARE(dialog.m_strEnd, std::string());  // unticked: a single address
  }

  void partsTakeDigitsStarAndDotUpToThreeCharacters() {
    applet::CIpAddressDlg dialog(nullptr);
    dialog.Prepare();
    dialog.show();
    auto* part = Child<QLineEdit>(&dialog, "startPart1");
    QTest::keyClicks(part, QStringLiteral("1a-2 ,3"));
    QCOMPARE(part->text(), QStringLiteral("123"));
    QTest::keyClicks(part, QStringLiteral("4"));
    QCOMPARE(part->text(), QStringLiteral("123"));
    auto* second = Child<QLineEdit>(&dialog, "startPart2");
    QTest::keyClicks(second, QStringLiteral("*x."));
    QCOMPARE(second->text(), QStringLiteral("*."));
  }

  void editingASingleAddressOpensWithoutTheRangePart() {
    applet::CIpFilterPage page;
    page.Create();
    AnswerAddress({"10", "0", "0", "1"});
    Click(&page, "addButton");
    SelectListRow(&page, "addressesList", 0);
    bool range_shown = true;
    QString caption;
    ModalScript::WhenNamed(QStringLiteral("ipAddressDialog"), [&](QWidget* w) {
      auto* dialog = static_cast<applet::CIpAddressDlg*>(w);
      range_shown = dialog->RangeShown();
      caption = dialog->windowTitle();
      TypeInto(dialog, "startPart4", QStringLiteral("2"));
      Click(dialog, "okButton");
    });
    Click(&page, "editButton");
    QVERIFY(!range_shown);
    QCOMPARE(caption, QStringLiteral("Edit IP address"));
    QCOMPARE(StoredTexts("IpFilter", "Addresses"), QStringList{"10.0.0.2 10.0.0.2"});
  }

  void modeIsStoredOnApply() {
    applet::CMailPropertySheet sheet;
    sheet.show();
    sheet.Tabs()->setCurrentIndex(kIpFilterTab);
    QVERIFY(Child<QRadioButton>(&sheet, "modeOffRadio")->isChecked());
    QCOMPARE(Child<QRadioButton>(&sheet, "modeOnlyRadio")->text(),
             QStringLiteral("Accept &connections only from specified IP addresses."));
    Click(&sheet, "modeOnlyRadio");
    QCOMPARE(ReadRegDword("Settings", "IPFilterMode", -1), -1);
    Click(&sheet, "applyButton");
    QCOMPARE(ReadRegDword("Settings", "IPFilterMode", -1), 2);
  }
};

QP_APPLET_TEST(IpFilterPageTest);
#include "ui_ip_filter_test.moc"
