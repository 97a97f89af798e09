// The IP Filter page and the address dialog: single addresses, ranges and
// patterns as stored, duplicates, the range part, the characters a part
// takes, and the mode.
#include <QClipboard>
#include <QGuiApplication>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
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

// An address dialog with empty parts, shown; the caller waits until it is
// active.
std::unique_ptr<applet::CIpAddressDlg> ShownAddressDialog() {
  auto dialog = std::make_unique<applet::CIpAddressDlg>(nullptr);
  dialog->Prepare();
  dialog->show();
  return dialog;
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

  // A part takes digits and "*" up to three characters; "." and a blank
  // move on to the next part, as in the system's IP address control.
  void typingFillsThePartsAndMovesOn() {
    const auto shown = ShownAddressDialog();
    applet::CIpAddressDlg& dialog = *shown;
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    auto* first = Child<QLineEdit>(&dialog, "startPart1");
    first->setFocus();
    QTest::keyClicks(first, QStringLiteral("1a-2,3"));
    QCOMPARE(first->text(), QStringLiteral("123"));
    QTest::keyClicks(first, QStringLiteral("4"));
    QCOMPARE(first->text(), QStringLiteral("123"));
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("."));
    for (const QChar c : QStringLiteral("*x 0.9")) QTest::keyClicks(QApplication::focusWidget(), QString(c));
    QStringList parts;
    for (const char* name : {"startPart1", "startPart2", "startPart3", "startPart4"})
      parts << Child<QLineEdit>(&dialog, name)->text();
    QCOMPARE(parts, (QStringList{"123", "*", "0", "9"}));
    QCOMPARE(QApplication::focusWidget(), Child(&dialog, "startPart4"));
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("."));  // the last part: stays
    QCOMPARE(QApplication::focusWidget(), Child(&dialog, "startPart4"));
  }

  // Enter is OK and Esc is Cancel; Ctrl+A/C/X/Z/V edit a part, and a pasted
  // dotted address fills the four parts of its row.
  void editingKeysReachThePartAndTheDialog() {
    const auto shown = ShownAddressDialog();
    applet::CIpAddressDlg& dialog = *shown;
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    auto* part = Child<QLineEdit>(&dialog, "startPart2");
    part->setFocus();
    QTest::keyClicks(part, QStringLiteral("25"));
    QTest::keyClick(part, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(part->selectedText(), QStringLiteral("25"));
    QTest::keyClick(part, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("25"));
    QTest::keyClick(part, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(part->text(), QString());
    QTest::keyClick(part, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(part->text(), QStringLiteral("25"));
    auto* fourth = Child<QLineEdit>(&dialog, "startPart4");
    fourth->setFocus();
    QTest::keyClick(fourth, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(fourth->text(), QStringLiteral("25"));

    QGuiApplication::clipboard()->setText(QStringLiteral("10.0.0.1"));
    part->setFocus();
    QTest::keyClick(part, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(QApplication::focusWidget(), Child(&dialog, "startPart4"));
    // The context menu's Paste fills the parts the same way.
    QGuiApplication::clipboard()->setText(QStringLiteral("192.168.*.5"));
    auto* end_part = Child<QLineEdit>(&dialog, "startPart3");
    QContextMenuEvent menu_event(QContextMenuEvent::Mouse, QPoint(2, 2), end_part->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(end_part, &menu_event);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    QVERIFY(menu != nullptr);
    QAction* paste = nullptr;
    for (QAction* action : menu->actions())
      if (action->text().startsWith(QStringLiteral("&Paste"))) paste = action;
    QVERIFY(paste != nullptr);
    paste->trigger();
    menu->close();
    QCOMPARE(Child<QLineEdit>(&dialog, "startPart1")->text(), QStringLiteral("192"));
    QCOMPARE(Child<QLineEdit>(&dialog, "startPart3")->text(), QStringLiteral("*"));
    QGuiApplication::clipboard()->setText(QStringLiteral("10.0.0.1"));
    part->setFocus();
    QTest::keyClick(part, Qt::Key_V, Qt::ControlModifier);
    QGuiApplication::clipboard()->setText(QStringLiteral("not.an.address.x"));
    QTest::keyClick(fourth, Qt::Key_V, Qt::ControlModifier);  // refused: the part keeps its text
    QTest::keyClick(fourth, Qt::Key_Return);
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QVERIFY(!dialog.isVisible());
    QCOMPARE(dialog.m_strStart, std::string("10.0.0.1"));

    const auto cancelled = ShownAddressDialog();
    QVERIFY(QTest::qWaitForWindowActive(cancelled.get()));
    QWidget* first = Child(cancelled.get(), "startPart1");
    first->setFocus();
    QTest::keyClicks(first, QStringLiteral("7"));
    QTest::keyClick(first, Qt::Key_Escape);
    QCOMPARE(cancelled->result(), int(QDialog::Rejected));
    QVERIFY(!cancelled->isVisible());
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
