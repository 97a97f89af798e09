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
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "applet/relay_page.h"
#include "common/dns_test_wire.h"
#include "common/settings_registry.h"
#include "platform/sockets.h"
#include "ui_support.h"

using namespace applet_test;

namespace {

constexpr int kPollStepMs = 20;

// Answers every MX query on a loopback UDP port, after `delay_ms`: with two
// MX records, or with a reply to the query that promises two records and
// holds none (the resolver takes only a reply to its query, with its id and
// question, and finds this one malformed).
class FakeDnsServer {
 public:
  enum class Reply { TwoMxRecords, Malformed };
  explicit FakeDnsServer(Reply reply = Reply::TwoMxRecords, int delay_ms = 0)
      : m_reply(reply), m_nDelayMs(delay_ms), m_socket(platform::Socket::Udp()) {
    m_thread = std::thread([this] { Run(); });
  }
  ~FakeDnsServer() {
    m_stop = true;
    m_thread.join();
  }
  int Port() const { return m_socket.LocalPort(); }
  QStringList Names() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_names;
  }

 private:
  void Run() {
    using namespace dnstest;
    while (!m_stop) {
      if (m_socket.PollReadable(kPollStepMs) != 1) continue;
      std::uint8_t buffer[512];
      std::string ip;
      int port = 0;
      const long n = m_socket.ReceiveFrom(buffer, sizeof buffer, ip, port);
      if (n <= 12) continue;
      const Bytes question(buffer + 12, buffer + n);
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_names << QueriedName(question);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(m_nDelayMs));
      Wire reply;
      reply.Header(kReply, 1, 2, 0, 0, static_cast<std::uint16_t>((buffer[0] << 8) | buffer[1])).Add(question);
      if (m_reply == Reply::TwoMxRecords) {
        reply.Record(Ptr(kQuestionNameOffset), 15, MxData(10, Name("mx.example.test")))
            .Record(Ptr(kQuestionNameOffset), 15, MxData(20, Name("backup.example.test")));
      }
      m_socket.SendTo(reply.b.data(), reply.b.size(), ip, port);
    }
  }
  static QString QueriedName(const dnstest::Bytes& question) {
    QStringList labels;
    for (std::size_t i = 0; i < question.size() && question[i] != 0; i += question[i] + 1)
      labels << QString::fromLatin1(reinterpret_cast<const char*>(&question[i + 1]), question[i]);
    return labels.join(QLatin1Char('.'));
  }

  Reply m_reply;
  int m_nDelayMs;
  platform::Socket m_socket;
  std::atomic<bool> m_stop{false};
  std::mutex m_mutex;
  QStringList m_names;
  std::thread m_thread;
};

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
    FakeDnsServer dns;
    WriteRegDword("Settings", "RelayMessages", 1);
    WriteRegString("Settings", "DNSServer", "127.0.0.1");
    applet::CRelayPage page;
    QStringList servers;
    page.SetDnsLookup([&](const std::string& server, const std::string& domain, std::vector<std::string>& results,
                          std::string& error) {
      servers << QString::fromStdString(server);
      return applet::ResolverLookup(server, domain, results, error, dns.Port());
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
    QCOMPARE(dns.Names(), QStringList{"example.test"});
    QCOMPARE(seen.size(), std::size_t(2));
    QCOMPARE(seen[0].text, QStringLiteral("10 mx.example.test"));
    QCOMPARE(seen[1].text, QStringLiteral("20 backup.example.test"));
    QCOMPARE(seen[0].icon, QMessageBox::NoIcon);
  }

  // A lookup that fails on the way shows the resolver's reason. While it
  // waits, the cursor shows the sheet busy and the page is still painted.
  void aFailedLookupShowsTheResolversErrorAndTheSheetStaysPainted() {
    FakeDnsServer dns(FakeDnsServer::Reply::Malformed, 600);
    WriteRegDword("Settings", "RelayMessages", 1);
    WriteRegString("Settings", "DNSServer", "127.0.0.1");
    applet::CRelayPage page;
    PaintCounter paints;
    int paints_while_waiting = -1;
    page.SetDnsLookup([&](const std::string& server, const std::string& domain, std::vector<std::string>& results,
                          std::string& error) {
      paints.count = 0;
      const bool started = applet::ResolverLookup(server, domain, results, error, dns.Port());
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
    QCOMPARE(dns.Names(), QStringList{"example.test"});
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
