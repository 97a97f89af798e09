// One round trip through the real service: the sheet's pages change the
// registry, Apply signals "Mail Service Event", and the running quillpost
// serves with the new accounts, domains and IP filter on loopback.
#include <QDeadlineTimer>
#include <QProcess>
#include <QRadioButton>
#include <QTabWidget>
#include <QTest>
#include <memory>
#include <string>

#include "applet/mail_property_sheet.h"
#include "applet/property_page.h"
#include "common/settings_registry.h"
#include "platform/sockets.h"
#include "ui_support.h"

using namespace applet_test;

namespace {

constexpr DWORD kConnectTimeoutMs = 5000;
constexpr int kReplyTimeoutMs = 5000;
constexpr int kReloadTimeoutMs = 15000;
constexpr int kAccountsTab = 2;
constexpr int kDomainsTab = 3;
constexpr int kIpFilterTab = 6;

// A line-based client on loopback: sends a line, reads the reply's line.
class LineClient {
 public:
  explicit LineClient(int port) : m_socket(platform::Socket::Connect("127.0.0.1", port, kConnectTimeoutMs)) {}
  bool IsConnected() const { return m_socket.IsValid(); }
  std::string ReadLine() {
    QDeadlineTimer deadline(kReplyTimeoutMs);
    for (;;) {
      const std::size_t end = m_buffer.find("\r\n");
      if (end != std::string::npos) {
        std::string line = m_buffer.substr(0, end);
        m_buffer.erase(0, end + 2);
        return line;
      }
      if (deadline.hasExpired() || m_socket.PollReadable(50) < 0) return std::string();
      char chunk[512];
      const long n = m_socket.Receive(chunk, sizeof chunk);
      if (n == 0) return std::string();
      if (n > 0) m_buffer.append(chunk, static_cast<std::size_t>(n));
    }
  }
  std::string Ask(const std::string& line) {
    m_socket.SendAll(line + "\r\n");
    return ReadLine();
  }

 private:
  platform::Socket m_socket;
  std::string m_buffer;
};

// The POP3 greeting and the reply to USER/PASS of dora.
std::string Pop3Login(int port) {
  LineClient client(port);
  if (!client.IsConnected()) return "no connection";
  const std::string greeting = client.ReadLine();
  if (greeting.rfind("+OK", 0) != 0) return greeting;
  client.Ask("USER dora");
  const std::string reply = client.Ask("PASS pw");
  client.Ask("QUIT");
  return reply;
}

// The reply to RCPT for dora in example.test, without authentication.
std::string SmtpRecipient(int port) {
  LineClient client(port);
  if (!client.IsConnected()) return "no connection";
  client.ReadLine();
  client.Ask("HELO client.test");
  client.Ask("MAIL FROM:<sender@elsewhere.test>");
  const std::string reply = client.Ask("RCPT TO:<dora@example.test>");
  client.Ask("QUIT");
  return reply;
}

int FreePort() { return platform::Socket::Listen(0, 1).LocalPort(); }

int RunQuillpost(const QString& program, const char* option) {
  QProcess process;
  process.start(program, {QString::fromLatin1(option)});
  if (!process.waitForFinished(30000)) {
    process.kill();
    return -1;
  }
  return process.exitCode();
}

}  // namespace

class RoundTripTest : public QObject {
  Q_OBJECT

 private slots:
  void pagesReachTheRunningService() {
    const QString quillpost = BuiltProgram(QStringLiteral("quillpost"));
    if (quillpost.isEmpty()) QSKIP("quillpost is not built in QP_BIN_DIR; the round trip needs it");
    ScopedHome home;
    ModalScript::ResetMissed();
    const int pop3 = FreePort();
    const int smtp = FreePort();
    WriteRegDword("Settings", "Port", pop3);
    WriteRegDword("Settings", "SmtpPort", smtp);
    QCOMPARE(RunQuillpost(quillpost, "-i"), 1);
    const auto uninstall = qScopeGuard([&] {
      RunQuillpost(quillpost, "-e");
      RunQuillpost(quillpost, "-u");
    });
    QCOMPARE(RunQuillpost(quillpost, "-s"), 1);
    QCOMPARE(Pop3Login(pop3), std::string("-ERR login failed"));
    QCOMPARE(SmtpRecipient(smtp), std::string("551 Client was not authenticated"));

    applet::CMailPropertySheet sheet;
    sheet.show();
    sheet.Tabs()->setCurrentIndex(kAccountsTab);
    FillDialog(QStringLiteral("userAccountDialog"),
               {{"userNameEdit", QStringLiteral("dora")}, {"passwordEdit", QStringLiteral("pw")}});
    Click(sheet.Page(kAccountsTab), "addButton");
    sheet.Tabs()->setCurrentIndex(kDomainsTab);
    FillDialog(QStringLiteral("domainDialog"), {{"domainEdit", QStringLiteral("Example.TEST")}});
    Click(sheet.Page(kDomainsTab), "addButton");
    Click(&sheet, "applyButton");
    QTRY_COMPARE_WITH_TIMEOUT(Pop3Login(pop3), std::string("+OK authentication successful"), kReloadTimeoutMs);
    // Each page signals its own reload; the service takes at most one a
    // second, so the domains may arrive a second after the accounts.
    QTRY_COMPARE_WITH_TIMEOUT(SmtpRecipient(smtp), std::string("250 OK"), kReloadTimeoutMs);

    sheet.Tabs()->setCurrentIndex(kIpFilterTab);
    ModalScript::WhenNamed(QStringLiteral("ipAddressDialog"), [](QWidget* dialog) {
      TypeInto(dialog, "startPart1", QStringLiteral("127"));
      TypeInto(dialog, "startPart2", QStringLiteral("0"));
      TypeInto(dialog, "startPart3", QStringLiteral("0"));
      TypeInto(dialog, "startPart4", QStringLiteral("1"));
      Click(dialog, "okButton");
    });
    Click(sheet.Page(kIpFilterTab), "addButton");
    Click(&sheet, "modeRefuseRadio");
    Click(&sheet, "applyButton");
    QTRY_COMPARE_WITH_TIMEOUT(Pop3Login(pop3), std::string("-ERR forbidden"), kReloadTimeoutMs);
    QCOMPARE(ModalScript::Missed(), 0);
  }
};

QP_APPLET_TEST(RoundTripTest);
#include "ui_roundtrip_test.moc"
