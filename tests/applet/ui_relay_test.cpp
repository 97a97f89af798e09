// The Relay page: the settings enabled only while relaying is on, the
// records and their dialog, and "Test DNS..." against a DNS server on
// loopback.
#include <QApplication>
#include <QCursor>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <QPushButton>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "applet/relay_page.h"
#include "common/settings_registry.h"
#include "support/fake_dns_server.h"
#include "ui_support.h"

using namespace applet_test;

namespace {

// The tests' DNS server on a free loopback port, answering every MX query
// after `delay_ms` with two MX records, or with a reply to the query that
// promises them and holds none (the resolver takes only a reply to its
// query, with its id and question, and finds this one malformed).
std::unique_ptr<FakeDnsServer> StartDns(bool malformed = false, int delay_ms = 0) {
  auto dns = std::make_unique<FakeDnsServer>();
  dns->m_arrAnswers = {{10, "mx.example.test"}, {20, "backup.example.test"}};
  dns->m_bMalformed = malformed;
  dns->m_nDelayMs = delay_ms;
  if (!dns->Start("127.0.0.1", 0)) return nullptr;
  return dns;
}

using Names = std::vector<std::string>;

// Counts the paint events of the widget it watches.
struct PaintCounter : QObject {
  int count = 0;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++count;
    return QObject::eventFilter(watched, event);
  }
};

const char* const kSettingsControls[] = {"hostNameEdit",   "dnsServerEdit",   "maxRecipientsEdit", "relayTimeoutEdit",
                                         "testDnsButton",  "hostNameLabel",   "dnsServerLabel",    "maxRecipientsLabel",
                                         "relayTimeoutLabel", "unlimitedLabel"};

}  // namespace

class RelayPageTest : public FreshHomeTest {
  Q_OBJECT

 private slots:
  void settingsAreEnabledOnlyWhileRelaying() {
    applet::CRelayPage page;
    page.Create();
    for (const char* name : kSettingsControls) QVERIFY2(!Child(&page, name)->isEnabled(), name);
    for (const char* name : {"mxRecordsList", "addButton", "editButton", "removeButton"})
      QVERIFY2(Child(&page, name)->isEnabled(), name);
    Click(&page, "relayCheck");
    for (const char* name : kSettingsControls) QVERIFY2(Child(&page, name)->isEnabled(), name);
    QVERIFY(page.IsModified());
    Click(&page, "relayCheck");
    QVERIFY(!Child(&page, "testDnsButton")->isEnabled());
  }

  void applyWritesTheFiveSettings() {
    WriteRegDword("Settings", "RelayMessages", 1);
    applet::CRelayPage page;
    page.Create();
    TypeInto(&page, "hostNameEdit", QStringLiteral("mail.example.test"));
    auto* timeout = Child<QLineEdit>(&page, "relayTimeoutEdit");
    timeout->clear();
    QTest::keyClicks(timeout, QStringLiteral("4a5"));
    QCOMPARE(timeout->text(), QStringLiteral("45"));  // digits only
    QVERIFY(page.OnApply());
    QCOMPARE(ReadRegString("Settings", "HostName", ""), std::string("mail.example.test"));
    QCOMPARE(ReadRegDword("Settings", "RelayTimeout", -1), 45);
    QCOMPARE(ReadRegDword("Settings", "RelayMessages", -1), 1);
    QCOMPARE(ReadRegDword("Settings", "MaxRecipients", -1), 0);
  }

  void recordsAreStoredAtOnceAndRefuseABar() {
    applet::CRelayPage page;
    page.Create();
    std::vector<SeenMessage> seen;
    QString caption;
    ModalScript::WhenNamed(QStringLiteral("dnsRecordDialog"), [&](QWidget* dialog) {
      caption = dialog->windowTitle();
      TypeInto(dialog, "domainEdit", QStringLiteral("example.org"));
      TypeInto(dialog, "mailServerEdit", QStringLiteral("mx|1.example.net"));
      ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
      Click(dialog, "okButton");
      TypeInto(dialog, "mailServerEdit", QStringLiteral("mx1.example.net"));
      Click(dialog, "okButton");
    });
    Click(&page, "addButton");
    QCOMPARE(caption, QStringLiteral("Add DNS Record"));
    QCOMPARE(seen.size(), std::size_t(1));
    QCOMPARE(seen[0].text, QStringLiteral("A DNS record cannot contain the character \"|\"."));
    FillDialog(QStringLiteral("dnsRecordDialog"),
               {{"domainEdit", QStringLiteral("EXAMPLE.org")}, {"mailServerEdit", QStringLiteral("MX1.example.net")}});
    Click(&page, "addButton");
    FillDialog(QStringLiteral("dnsRecordDialog"),
               {{"domainEdit", QStringLiteral("example.org")}, {"mailServerEdit", QStringLiteral("mx2.example.net")}});
    Click(&page, "addButton");
    QCOMPARE(StoredTexts("Relay", "MxRecords"),
             (QStringList{"example.org|mx1.example.net", "example.org|mx2.example.net"}));
    QCOMPARE(RowTexts(&page, "mxRecordsList"),
             (QStringList{"example.org|mx1.example.net", "example.org|mx2.example.net"}));
  }

  // The test asks the DNS server last taken from the page for the domain of
  // the typed address in lower case and shows each record in a box of its own.
  void testDnsShowsEveryMxRecord() {
    const std::unique_ptr<FakeDnsServer> dns = StartDns();
    QVERIFY(dns);
    WriteRegDword("Settings", "RelayMessages", 1);
    WriteRegString("Settings", "DNSServer", "127.0.0.1");
    applet::CRelayPage page;
    QStringList servers;
    page.SetDnsLookup([&](const std::string& server, const std::string& domain, std::vector<std::string>& results,
                          std::string& error) {
      servers << QString::fromStdString(server);
      return applet::ResolverLookup(server, domain, results, error, dns->Port());
    });
    page.Create();
    TypeInto(&page, "dnsServerEdit", QStringLiteral("127.0.0.2"));  // not applied: not used
    std::vector<SeenMessage> seen;
    ModalScript::WhenNamed(QStringLiteral("getMxRecordDialog"), [&](QWidget* dialog) {
      TypeInto(dialog, "addressEdit", QStringLiteral("Joe <joe@Example.TEST>"));
      ModalScript::AnswerMessage(QMessageBox::Ok, &seen, 2);
      Click(dialog, "okButton");
    });
    Click(&page, "testDnsButton");
    QCOMPARE(servers, QStringList{"127.0.0.1"});
    QVERIFY(dns->QueriedNames() == Names{"example.test"});
    QCOMPARE(seen.size(), std::size_t(2));
    QCOMPARE(seen[0].text, QStringLiteral("10 mx.example.test"));
    QCOMPARE(seen[1].text, QStringLiteral("20 backup.example.test"));
    QCOMPARE(seen[0].icon, QMessageBox::NoIcon);
  }

  // A lookup that fails on the way shows the resolver's reason. While it
  // waits, the cursor shows the sheet busy and the page is still painted.
  void aFailedLookupShowsTheResolversErrorAndTheSheetStaysPainted() {
    const std::unique_ptr<FakeDnsServer> dns = StartDns(true, 600);
    QVERIFY(dns);
    WriteRegDword("Settings", "RelayMessages", 1);
    WriteRegString("Settings", "DNSServer", "127.0.0.1");
    applet::CRelayPage page;
    PaintCounter paints;
    int paints_while_waiting = -1;
    page.SetDnsLookup([&](const std::string& server, const std::string& domain, std::vector<std::string>& results,
                          std::string& error) {
      paints.count = 0;
      const bool started = applet::ResolverLookup(server, domain, results, error, dns->Port());
      paints_while_waiting = paints.count;
      return started;
    });
    page.Create();
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    page.installEventFilter(&paints);
    bool busy_while_waiting = false;
    QTimer during;
    during.setSingleShot(true);
    connect(&during, &QTimer::timeout, &page, [&] {
      const QCursor* cursor = QApplication::overrideCursor();
      busy_while_waiting = cursor != nullptr && cursor->shape() == Qt::WaitCursor;
      page.update();
    });
    std::vector<SeenMessage> seen;
    ModalScript::WhenNamed(QStringLiteral("getMxRecordDialog"), [&](QWidget* dialog) {
      TypeInto(dialog, "addressEdit", QStringLiteral("joe@example.test"));
      ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
      during.start(200);
      Click(dialog, "okButton");
    });
    Click(&page, "testDnsButton");
    QVERIFY(dns->QueriedNames() == Names{"example.test"});
    QVERIFY(busy_while_waiting);
    QVERIFY2(paints_while_waiting > 0, "the page is painted while the lookup waits");
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QCOMPARE(seen.size(), std::size_t(1));
    QCOMPARE(seen[0].text, QStringLiteral("Invalid response from DNS server"));
    QCOMPARE(seen[0].icon, QMessageBox::NoIcon);
  }

  void aLookupThatCannotStartShowsTheReason() {
    WriteRegDword("Settings", "RelayMessages", 1);
    applet::CRelayPage page;
    page.SetDnsLookup([](const std::string& server, const std::string&, std::vector<std::string>&,
                         std::string& error) {
      error = "Unable to resolve '" + server + "'";
      return false;
    });
    page.Create();
    std::vector<SeenMessage> seen;
    FillDialog(QStringLiteral("getMxRecordDialog"), {{"addressEdit", QStringLiteral("example.test")}});
    ModalScript::AnswerMessage(QMessageBox::Ok, &seen);
    Click(&page, "testDnsButton");
    QCOMPARE(seen.size(), std::size_t(1));
    QCOMPARE(seen[0].text, QStringLiteral("Unable to resolve ''"));
  }
};

QP_APPLET_TEST(RelayPageTest);
#include "ui_relay_test.moc"
