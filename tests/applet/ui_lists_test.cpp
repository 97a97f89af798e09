// The Domains and Forward Rules pages: rows stored at once, duplicates in
// any letter case ignored, the selection after Remove, the empty list, and
// the forward rule dialog's refusal of "|".
#include <QLineEdit>
#include <QTabWidget>
#include <QTest>
#include <QTreeWidget>
#include <memory>

#include "applet/domains_page.h"
#include "applet/forward_rules_page.h"
#include "applet/mail_property_sheet.h"
#include "ui_support.h"

using namespace applet_test;

class ListPagesTest : public FreshHomeTest {
  Q_OBJECT

 private slots:
  void domainsAreStoredAtOnceWithoutDuplicates() {
    applet::CDomainsPage page;
    page.Create();
    QString caption;
    ModalScript::WhenNamed(QStringLiteral("domainDialog"), [&](QWidget* dialog) {
      caption = dialog->windowTitle();
      TypeInto(dialog, "domainEdit", QStringLiteral("example.com"));
      Click(dialog, "okButton");
    });
    Click(&page, "addButton");
    QCOMPARE(caption, QStringLiteral("Add Domain"));
    QCOMPARE(StoredTexts("Domains", "Extensions"), QStringList{"example.com"});
    QVERIFY(page.IsModified());
    for (const char* domain : {"EXAMPLE.COM", "example.org"}) {
      FillDialog(QStringLiteral("domainDialog"), {{"domainEdit", QString::fromLatin1(domain)}});
      Click(&page, "addButton");
    }
    QCOMPARE(StoredTexts("Domains", "Extensions"), (QStringList{"example.com", "example.org"}));
    QCOMPARE(RowTexts(&page, "domainsList"), (QStringList{"example.com", "example.org"}));
  }

  void editStoresOnlyARealChange() {
    applet::CDomainsPage page;
    page.Create();
    for (const char* domain : {"example.com", "example.org"}) {
      FillDialog(QStringLiteral("domainDialog"), {{"domainEdit", QString::fromLatin1(domain)}});
      Click(&page, "addButton");
    }
    SelectListRow(&page, "domainsList", 1);
    QString caption;
    QString shown;
    ModalScript::WhenNamed(QStringLiteral("domainDialog"), [&](QWidget* dialog) {
      caption = dialog->windowTitle();
      shown = Child<QLineEdit>(dialog, "domainEdit")->text();
      TypeInto(dialog, "domainEdit", QStringLiteral("Example.ORG"));
      Click(dialog, "okButton");
    });
    Click(&page, "editButton");
    QCOMPARE(caption, QStringLiteral("Edit Domain"));
    QCOMPARE(shown, QStringLiteral("example.org"));
    QCOMPARE(StoredTexts("Domains", "Extensions"), (QStringList{"example.com", "example.org"}));
    FillDialog(QStringLiteral("domainDialog"), {{"domainEdit", QStringLiteral("example.net")}});
    Click(&page, "editButton");
    QCOMPARE(StoredTexts("Domains", "Extensions"), (QStringList{"example.com", "example.net"}));
  }

  void removeSelectsTheFirstRowAndEmptyListIsStored() {
    applet::CDomainsPage page;
    page.Create();
    for (const char* domain : {"a.test", "b.test", "c.test"}) {
      FillDialog(QStringLiteral("domainDialog"), {{"domainEdit", QString::fromLatin1(domain)}});
      Click(&page, "addButton");
    }
    auto* list = Child<QTreeWidget>(&page, "domainsList");
    SelectListRow(&page, "domainsList", 2);
    Click(&page, "removeButton");
    QCOMPARE(list->currentItem(), list->topLevelItem(0));
    QVERIFY(list->topLevelItem(0)->isSelected());
    Click(&page, "removeButton");
    Click(&page, "removeButton");
    QCOMPARE(list->topLevelItemCount(), 0);
    bool found = false;
    QCOMPARE(RegistryBytes("Domains", "Extensions", &found), (std::vector<unsigned char>{0x00, 0x00}));
    QVERIFY(found);
    Click(&page, "removeButton");  // nothing selected: nothing happens
  }

  void rulesNeedBothColumnsEqualToBeDuplicates() {
    applet::CForwardRulesPage page;
    page.Create();
    const std::pair<const char*, const char*> rules[] = {
        {"*@old.test", "*@new.test"}, {"*@old.test", "archive@new.test"}, {"*@OLD.test", "*@NEW.test"}};
    for (const auto& [from, to] : rules) {
      FillDialog(QStringLiteral("forwardRuleDialog"),
                 {{"fromEdit", QString::fromLatin1(from)}, {"toEdit", QString::fromLatin1(to)}});
      Click(&page, "addButton");
    }
    QCOMPARE(StoredTexts("ForwardRules", "Rules"),
             (QStringList{"*@old.test|*@new.test", "*@old.test|archive@new.test"}));
    QCOMPARE(RowTexts(&page, "rulesList"), (QStringList{"*@old.test|*@new.test", "*@old.test|archive@new.test"}));
  }

  // A "|" would split the stored rule: the dialog says so and stays open
  // until the text is corrected.
  void ruleDialogRefusesABar() {
    applet::CForwardRulesPage page;
    page.Create();
    std::vector<SeenMessage> seen;
    bool open_after_message = false;
    ModalScript::WhenNamed(QStringLiteral("forwardRuleDialog"), [&](QWidget* dialog) {
      TypeInto(dialog, "fromEdit", QStringLiteral("a|b@x.test"));
      TypeInto(dialog, "toEdit", QStringLiteral("c@y.test"));
      ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
      Click(dialog, "okButton");
      open_after_message = dialog->isVisible();
      TypeInto(dialog, "fromEdit", QStringLiteral("ab@x.test"));
      TypeInto(dialog, "toEdit", QStringLiteral("c|d@y.test"));
      ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
      Click(dialog, "okButton");
      TypeInto(dialog, "toEdit", QStringLiteral("cd@y.test"));
      Click(dialog, "okButton");
    });
    Click(&page, "addButton");
    QVERIFY(open_after_message);
    QCOMPARE(seen.size(), std::size_t(2));
    QCOMPARE(seen[0].text, QStringLiteral("A forward rule cannot contain the character \"|\"."));
    QCOMPARE(seen[0].caption, QStringLiteral("Add Forward Rule"));
    QCOMPARE(StoredTexts("ForwardRules", "Rules"), QStringList{"ab@x.test|cd@y.test"});
  }

  void cancellingTheSheetKeepsListChanges() {
    applet::CMailPropertySheet sheet;
    sheet.show();
    sheet.Tabs()->setCurrentIndex(3);
    FillDialog(QStringLiteral("domainDialog"), {{"domainEdit", QStringLiteral("kept.test")}});
    Click(sheet.Page(3), "addButton");
    QVERIFY(Child(&sheet, "applyButton")->isEnabled());
    Click(&sheet, "cancelButton");
    QCOMPARE(StoredTexts("Domains", "Extensions"), QStringList{"kept.test"});
  }
};

QP_APPLET_TEST(ListPagesTest);
#include "ui_lists_test.moc"
