// What every list of the sheet shares, on each of the six list pages: a
// change stored at once has the service reload at once (also when the sheet
// is then cancelled); the columns fit their entries after every change; a
// list too large for the service is not stored and Apply and OK say so; a
// list that cannot be read is said so and never overwritten.
#include <QComboBox>
#include <QHeaderView>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>
#include <functional>
#include <memory>

#include "applet/mail_property_sheet.h"
#include "applet/property_page.h"
#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "platform/sync.h"
#include "support/hive_fault.h"
#include "ui_support.h"

using namespace applet_test;

namespace {

// One list page: where its list is shown and stored, how messages name it,
// and how its add dialog takes an entry.
struct ListPage {
  const char* label;
  int tab;
  const char* list;  // list view
  const char* section;
  const char* value;
  const char* name;
  const char* dialog;
  // Fills the add dialog's fields for an entry made from `text` (digits only
  // for the IP filter).
  std::function<void(QWidget* dialog, const QString& text)> fill;
  // Between the two columns of a stored element; 0 for the one-column lists
  // and for the accounts.
  char separator;
};

void FillFirstField(const char* field, QWidget* dialog, const QString& text) { TypeInto(dialog, field, text); }

const std::vector<ListPage>& ListPages() {
  static const std::vector<ListPage> pages = {
      {"user accounts", 2, "accountsList", "UserAccounts", "Users", "user accounts", "userAccountDialog",
       [](QWidget* d, const QString& t) { FillFirstField("userNameEdit", d, t); }, 0},
      {"domains", 3, "domainsList", "Domains", "Extensions", "domains", "domainDialog",
       [](QWidget* d, const QString& t) { FillFirstField("domainEdit", d, t); }, 0},
      {"forward rules", 4, "rulesList", "ForwardRules", "Rules", "forward rules", "forwardRuleDialog",
       [](QWidget* d, const QString& t) {
         TypeInto(d, "fromEdit", t);
         TypeInto(d, "toEdit", QStringLiteral("to@example.test"));
       },
       '|'},
      {"mx records", 5, "mxRecordsList", "Relay", "MxRecords", "pre-defined DNS records", "dnsRecordDialog",
       [](QWidget* d, const QString& t) {
         TypeInto(d, "domainEdit", t);
         TypeInto(d, "mailServerEdit", QStringLiteral("mx.example.test"));
       },
       '|'},
      {"blocked senders", 1, "blockedList", "BlockMailFrom", "Rules", "blocked senders", "emailAddressDialog",
       [](QWidget* d, const QString& t) { FillFirstField("addressEdit", d, t); }, 0},
      {"ip filter", 6, "addressesList", "IpFilter", "Addresses", "IP filter addresses", "ipAddressDialog",
       [](QWidget* d, const QString& t) {
         for (int i = 0; i < 4; ++i)
           TypeInto(d, QByteArray("startPart").append(QByteArray::number(i + 1)).constData(), t.left(3));
       },
       ' '},
  };
  return pages;
}

constexpr int kAdvancedTab = 1;
constexpr int kAccountsTab = 2;
const serial_list::Bytes kTwoAccounts =
    serial_list::WriteAccounts({{"admin", "", ""}, {"anna", "Anna Berg", "pw"}});

void AddListPageRows() {
  QTest::addColumn<int>("page");
  for (std::size_t i = 0; i < ListPages().size(); ++i) QTest::newRow(ListPages()[i].label) << int(i);
}

// An element of `chars` characters (below 255), told apart from the others
// by `index`, with the separator after the index when it has two columns.
std::string PaddedText(int index, std::size_t chars, char separator) {
  std::string text = std::to_string(100 + index);
  if (separator != 0) text += separator;
  text += std::string(chars - text.size(), '7');
  return text;
}

// No entry of the list view is cut off, and its columns reach its right
// edge: the last one fills what the others leave.
void VerifyColumnsFit(QTreeWidget* list, const char* when) {
  const QFontMetrics metrics(list->font());
  int total = 0;
  for (int column = 0; column < list->columnCount(); ++column) {
    total += list->columnWidth(column);
    for (int row = 0; row < list->topLevelItemCount(); ++row) {
      const QString text = list->topLevelItem(row)->text(column);
      QVERIFY2(metrics.horizontalAdvance(text) + 8 <= list->columnWidth(column),
               qPrintable(QStringLiteral("%1: '%2' is cut off").arg(QString::fromLatin1(when), text)));
    }
  }
  QVERIFY2(total >= list->viewport()->width(), when);
}

// The rows of a list stored by StoreListOfSize.
constexpr int kStoredRows = 41;

// Stores a list of the page of kStoredRows entries that serialises to
// exactly `size` bytes (4050 to 4095), and returns its bytes.
serial_list::Bytes StoreListOfSize(const ListPage& page, std::size_t size) {
  serial_list::Bytes bytes;
  // 40 elements of 100 bytes after the count of 2, and one for the rest.
  const std::size_t last = size - 2 - 40 * 100;
  if (std::string(page.section) == "UserAccounts") {
    std::vector<CUserAccount> accounts;
    for (int i = 0; i < kStoredRows; ++i) {
      // user (3 characters), full name, empty password: 4 + 1 + 1 bytes
      // besides the full name.
      const std::size_t full_name = (i < 40 ? 100 : last) - 6;
      accounts.push_back({std::to_string(100 + i), std::string(full_name, 'f'), ""});
    }
    bytes = serial_list::WriteAccounts(accounts);
  } else {
    std::vector<std::string> texts;
    for (int i = 0; i < kStoredRows; ++i)
      texts.push_back(PaddedText(i, (i < 40 ? 100 : last) - 1, page.separator));
    bytes = serial_list::WriteTexts(texts);
  }
  WriteRegBinary(page.section, page.value, bytes.data(), bytes.size());
  return bytes;
}

}  // namespace

class ListRulesTest : public FreshHomeTest {
  Q_OBJECT

 private slots:
  // Every change stored at once ends with the reload signal: list entries
  // added, an account removed and its messages kept (No), the catch-all
  // account chosen; Cancel afterwards takes nothing back.
  void aChangeStoredAtOnceReloadsTheService_data() {
    QTest::addColumn<int>("page");  // -1: account removed, -2: catch-all chosen
    for (std::size_t i = 0; i < ListPages().size(); ++i)
      QTest::newRow(QByteArray("entry added: ").append(ListPages()[i].label).constData()) << int(i);
    QTest::newRow("account removed, messages kept") << -1;
    QTest::newRow("catch-all account chosen") << -2;
  }
  void aChangeStoredAtOnceReloadsTheService() {
    QFETCH(int, page);
    WriteRegBinary("UserAccounts", "Users", kTwoAccounts.data(), kTwoAccounts.size());
    platform::NamedEvent event;
    QVERIFY(event.Create("Mail Service Event"));
    applet::CMailPropertySheet sheet;
    sheet.show();
    if (page >= 0) {
      const ListPage& list = ListPages()[static_cast<std::size_t>(page)];
      sheet.Tabs()->setCurrentIndex(list.tab);
      ModalScript::WhenNamed(QString::fromLatin1(list.dialog), [&](QWidget* dialog) {
        list.fill(dialog, QStringLiteral("9876543"));
        Click(dialog, "okButton");
      });
      QVERIFY(!event.Wait(0));
      Click(sheet.Page(list.tab), "addButton");
    } else if (page == -1) {
      sheet.Tabs()->setCurrentIndex(kAccountsTab);
      SelectListRow(sheet.Page(kAccountsTab), "accountsList", 0);  // anna
      ModalScript::AnswerMessage(QMessageBox::No, nullptr);
      QVERIFY(!event.Wait(0));
      Click(sheet.Page(kAccountsTab), "removeButton");
      QCOMPARE(RowTexts(&sheet, "accountsList"), QStringList{"admin|"});
    } else {
      sheet.Tabs()->setCurrentIndex(kAdvancedTab);
      auto* combo = Child<QComboBox>(&sheet, "catchAllCombo");
      QVERIFY(!event.Wait(0));
      combo->setCurrentIndex(1);
      emit combo->activated(1);
      QCOMPARE(ReadRegString("Settings", "CatchAllAccount", ""), std::string("anna"));
    }
    Click(&sheet, "cancelButton");
    QVERIFY2(event.Wait(0), "the service was told to reload");
  }

  // Adding a long entry widens its column (a long last column scrolls),
  // removing it narrows the column again; the columns always reach the
  // list's right edge. The same when the sheet is made wider.
  void columnsFitTheirEntriesAfterEveryChange_data() { AddListPageRows(); }
  void columnsFitTheirEntriesAfterEveryChange() {
    QFETCH(int, page);
    const ListPage& list = ListPages()[static_cast<std::size_t>(page)];
    WriteRegBinary("UserAccounts", "Users", kTwoAccounts.data(), kTwoAccounts.size());
    applet::CMailPropertySheet sheet;
    sheet.show();
    QVERIFY(QTest::qWaitForWindowExposed(&sheet));
    sheet.Tabs()->setCurrentIndex(list.tab);
    auto* view = Child<QTreeWidget>(&sheet, list.list);
    VerifyColumnsFit(view, "shown");
    const int narrow = view->columnWidth(0);

    const QString long_entry = QStringLiteral("9876543") + QString(90, QLatin1Char('w'));
    ModalScript::WhenNamed(QString::fromLatin1(list.dialog), [&](QWidget* dialog) {
      list.fill(dialog, long_entry);
      Click(dialog, "okButton");
    });
    Click(sheet.Page(list.tab), "addButton");
    VerifyColumnsFit(view, "after Add");
    const int wide = view->columnWidth(0);
    QVERIFY(wide >= narrow);

    SelectListRow(sheet.Page(list.tab), list.list, view->topLevelItemCount() - 1);
    ModalScript::WhenNamed(QString::fromLatin1(list.dialog), [&](QWidget* dialog) {
      list.fill(dialog, QStringLiteral("12"));
      Click(dialog, "okButton");
    });
    Click(sheet.Page(list.tab), "editButton");
    VerifyColumnsFit(view, "after Edit");
    if (std::string(list.section) != "IpFilter") QVERIFY2(view->columnWidth(0) < wide, "narrower after Edit");

    ModalScript::AnswerMessage(QMessageBox::No, nullptr);  // the accounts page asks about the messages
    Click(sheet.Page(list.tab), "removeButton");
    if (std::string(list.section) != "UserAccounts") ModalScript::CancelWaiting();
    VerifyColumnsFit(view, "after Remove");

    sheet.resize(sheet.width() + 200, sheet.height());
    QTRY_VERIFY(view->viewport()->width() > 0);
    QApplication::processEvents();
    VerifyColumnsFit(view, "in a wider sheet");
  }

  // A registry read error shows the list empty with a message naming it
  // and the reason; its buttons are disabled, so that nothing done on the
  // page overwrites the stored list once the registry can be read again.
  void aListThatCannotBeReadIsSaidSoAndKept_data() { AddListPageRows(); }
  void aListThatCannotBeReadIsSaidSoAndKept() {
    QFETCH(int, page);
    const ListPage& list = ListPages()[static_cast<std::size_t>(page)];
    const serial_list::Bytes stored = StoreListOfSize(list, 4090);
    applet::CMailPropertySheet sheet;
    sheet.SetHiveWritableCheck([] { return true; });
    sheet.show();
    ScopedUnreadableHive unreadable;
    std::vector<SeenMessage> seen;
    ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    sheet.Tabs()->setCurrentIndex(list.tab);
    QTRY_COMPARE(seen.size(), std::size_t(1));
    unreadable.Restore();
    const QString expected = QStringLiteral("The list of %1 cannot be read. Access is denied.")
                                 .arg(QString::fromLatin1(list.name));
    QVERIFY2(seen[0].text.startsWith(expected), qPrintable(seen[0].text));
    QCOMPARE(seen[0].caption, sheet.Tabs()->tabText(list.tab));
    QCOMPARE(Child<QTreeWidget>(&sheet, list.list)->topLevelItemCount(), 0);
    for (const char* button : {"addButton", "editButton", "removeButton"})
      QVERIFY2(!Child(sheet.Page(list.tab), button)->isEnabled(), button);
    Click(&sheet, "okButton");
    QVERIFY(!sheet.isVisible());
    QCOMPARE(RegistryBytes(list.section, list.value), stored);
  }

  // An entry that makes the list too large for the service is shown but
  // not stored; Apply and OK name the list and stay on its page until an
  // entry is removed, which stores the list.
  void aListTooLargeForTheServiceIsNamedOnApplyAndOk_data() { AddListPageRows(); }
  void aListTooLargeForTheServiceIsNamedOnApplyAndOk() {
    QFETCH(int, page);
    const ListPage& list = ListPages()[static_cast<std::size_t>(page)];
    const serial_list::Bytes stored = StoreListOfSize(list, 4090);
    applet::CMailPropertySheet sheet;
    sheet.show();
    sheet.Tabs()->setCurrentIndex(list.tab);
    QCOMPARE(Child<QTreeWidget>(&sheet, list.list)->topLevelItemCount(), kStoredRows);
    ModalScript::WhenNamed(QString::fromLatin1(list.dialog), [&](QWidget* dialog) {
      list.fill(dialog, QStringLiteral("9876543"));
      Click(dialog, "okButton");
    });
    Click(sheet.Page(list.tab), "addButton");
    QCOMPARE(Child<QTreeWidget>(&sheet, list.list)->topLevelItemCount(), kStoredRows + 1);
    QCOMPARE(RegistryBytes(list.section, list.value), stored);

    sheet.Tabs()->setCurrentIndex(0);
    std::vector<SeenMessage> seen;
    ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    Click(&sheet, "applyButton");
    QCOMPARE(seen.size(), std::size_t(1));
    const QString expected = QStringLiteral("The list of %1 is too large for the mail service: it takes ")
                                 .arg(QString::fromLatin1(list.name));
    QVERIFY2(seen[0].text.startsWith(expected), qPrintable(seen[0].text));
    QVERIFY2(seen[0].text.contains(QStringLiteral("at most 4095 bytes")), qPrintable(seen[0].text));
    QCOMPARE(seen[0].caption, sheet.Tabs()->tabText(list.tab));
    QCOMPARE(sheet.Tabs()->currentIndex(), list.tab);

    ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    Click(&sheet, "okButton");
    QCOMPARE(seen.size(), std::size_t(2));
    QVERIFY(sheet.isVisible());

    SelectListRow(sheet.Page(list.tab), list.list, 0);
    ModalScript::AnswerMessage(QMessageBox::No, &seen);  // the accounts page asks about the messages
    Click(sheet.Page(list.tab), "removeButton");
    if (std::string(list.section) != "UserAccounts") ModalScript::CancelWaiting();
    QVERIFY(RegistryBytes(list.section, list.value) != stored);
    QVERIFY(RegistryBytes(list.section, list.value).size() <= 4095);

    const std::size_t before = seen.size();
    ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    Click(&sheet, "applyButton");
    ModalScript::CancelWaiting();
    QCOMPARE(seen.size(), before);
  }
};

QP_APPLET_TEST(ListRulesTest);
#include "ui_list_rules_test.moc"
