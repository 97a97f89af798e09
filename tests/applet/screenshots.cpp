// applet_screenshots OUT_DIR: renders every page of the configuration sheet
// and every dialog of the applet into PNG files in OUT_DIR, each under a
// strip that shows the window's icon and caption (the platform draws no
// title bar on the offscreen or a bare X server). Sample settings and lists
// are stored first into the machine QUILLPOST_HOME names, which
// scripts/screenshots.sh makes for the run.
#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPainter>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <vector>

#include "admin/account_list.h"
#include "admin/stored_list.h"
#include "admin/value_parse.h"
#include "applet/applet_resources.h"
#include "applet/entry_dialogs.h"
#include "applet/ip_address_dlg.h"
#include "applet/mail_property_sheet.h"
#include "common/dns_resolver.h"
#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "platform/sockets.h"

namespace {

constexpr int kCaptionHeight = 24;

// The window's contents under a caption strip with its icon and title.
QImage WithCaption(QWidget* window) {
  const QPixmap content = window->grab();
  QImage image(content.width(), content.height() + kCaptionHeight, QImage::Format_ARGB32);
  image.fill(QColor(0x2b, 0x57, 0x97));
  QPainter painter(&image);
  const QIcon icon = window->windowIcon();
  int text_left = 6;
  if (!icon.isNull()) {
    painter.drawPixmap(4, (kCaptionHeight - 16) / 2, icon.pixmap(16, 16));
    text_left = 26;
  }
  QFont font = painter.font();
  font.setBold(true);
  painter.setFont(font);
  painter.setPen(Qt::white);
  painter.drawText(QRect(text_left, 0, image.width() - text_left, kCaptionHeight),
                   Qt::AlignVCenter | Qt::AlignLeft, window->windowTitle());
  painter.drawPixmap(0, kCaptionHeight, content);
  return image;
}

bool Save(QWidget* window, const QDir& folder, const QString& name, bool fit = true) {
  window->show();
  if (fit) window->adjustSize();
  QApplication::processEvents();
  const QString path = folder.filePath(name + QStringLiteral(".png"));
  const bool ok = WithCaption(window).save(path);
  std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
  return ok;
}

QWidget* Message(QMessageBox::Icon icon, const char* caption, const std::string& text,
                 QMessageBox::StandardButtons buttons) {
  auto* box = new QMessageBox(icon, QString::fromLatin1(caption), QString::fromStdString(text), buttons);
  box->setWindowIcon(applet::LoadResourceIcon(applet::IDI_APPLET));
  return box;
}

void StoreTexts(const char* section, const char* value, const std::vector<std::string>& texts) {
  const serial_list::Bytes bytes = serial_list::WriteTexts(texts);
  WriteRegBinary(section, value, bytes.data(), bytes.size());
}

// A few settings and list entries so that the pages show rows.
void StoreSampleSettings() {
  WriteRegDword("Settings", "LogLevel", 2);
  WriteRegString("Settings", "LogPath", "C:\\Logs");
  const std::vector<CUserAccount> accounts = {
      {"admin", "Administrator", ""}, {"anna", "Anna Berg", "secret"}, {"bert", "Bert Larsen", "secret"}};
  const serial_list::Bytes bytes = serial_list::WriteAccounts(accounts);
  WriteRegBinary("UserAccounts", "Users", bytes.data(), bytes.size());
  WriteRegString("Settings", "CatchAllAccount", "anna");
  StoreTexts("Domains", "Extensions", {"example.com", "mail.example.com"});
  StoreTexts("ForwardRules", "Rules", {"info@example.com|anna@example.com", "sales@example.com|bert@example.com"});
  WriteRegDword("Settings", "RelayMessages", 1);
  WriteRegString("Settings", "HostName", "mail.example.com");
  WriteRegString("Settings", "DNSServer", "192.0.2.53");
  StoreTexts("Relay", "MxRecords", {"example.org|mx1.example.net", "example.net|mx2.example.net"});
  StoreTexts("BlockMailFrom", "Rules", {"spammer@bad.example", "*@junk.example"});
  WriteRegDword("Settings", "IPFilterMode", 1);
  WriteRegString("Settings", "TlsCertificate", "C:\\Certificates\\mail.example.com.pem");
  WriteRegString("Settings", "TlsPrivateKey", "C:\\Certificates\\mail.example.com.key");
  WriteRegDword("Settings", "SmtpsPort", 465);
  WriteRegDword("Settings", "Pop3sPort", 995);
  WriteRegDword("Settings", "TlsAuthOnly", 1);
  StoreTexts("IpFilter", "Addresses", {"10.0.0.1 10.0.0.9", "192.168.*.* 192.168.*.*", "172.16.0.5 172.16.0.5"});
}

// The resolver's own text for a DNS server that does not answer: a lookup
// sent to a loopback port that nobody answers, given up after a second.
std::string NoAnswerText() {
  platform::Socket silent = platform::Socket::Udp();
  CDnsResolver resolver(1);
  resolver.SetServerPort(silent.LocalPort());
  std::vector<std::string> results;
  resolver.Lookup("127.0.0.1", "example.org", results);
  return resolver.GetErrorText();
}

struct Shot {
  const char* name;
  std::function<QWidget*()> make;
};

template <class Dialog>
QWidget* Prepared(Dialog* dialog) {
  dialog->Prepare();
  return dialog;
}

// The applet's dialogs, each with sample contents, and the messages of the
// list pages.
void AddDialogShots(std::vector<Shot>& shots) {
  shots.push_back({"dialog-user-account-add", [] {
                     auto* dialog = new applet::CUserAccountDlg(nullptr);
                     dialog->m_strUser = "dora";
                     dialog->m_strFullName = "Dora Holm";
                     dialog->m_strPassword = "secret";
                     return Prepared(dialog);
                   }});
  shots.push_back({"dialog-user-account-edit-admin", [] {
                     auto* dialog = new applet::CUserAccountDlg(nullptr);
                     dialog->m_strCaption = "Edit User Account";
                     dialog->m_strUser = "admin";
                     dialog->m_strFullName = "Administrator";
                     return Prepared(dialog);
                   }});
  shots.push_back({"dialog-domain", [] {
                     auto* dialog = new applet::CDomainDlg(nullptr);
                     dialog->m_strDomain = "example.com";
                     return Prepared(dialog);
                   }});
  shots.push_back({"dialog-forward-rule", [] {
                     auto* dialog = new applet::CForwardRuleDlg(nullptr);
                     dialog->m_strFrom = "info@example.com";
                     dialog->m_strTo = "anna@example.com";
                     return Prepared(dialog);
                   }});
  shots.push_back({"dialog-dns-record", [] {
                     auto* dialog = new applet::CDnsRecordDlg(nullptr);
                     dialog->m_strDomain = "example.org";
                     dialog->m_strMailServer = "mx1.example.net";
                     return Prepared(dialog);
                   }});
  shots.push_back({"dialog-get-mx-record", [] {
                     auto* dialog = new applet::CGetMxRecordDlg(nullptr);
                     dialog->m_strAddress = "someone@example.org";
                     return Prepared(dialog);
                   }});
  shots.push_back({"dialog-email-address", [] {
                     auto* dialog = new applet::CEmailAddressDlg(nullptr);
                     dialog->m_strAddress = "spammer@bad.example";
                     return Prepared(dialog);
                   }});
  shots.push_back({"dialog-ip-address-single", [] {
                     auto* dialog = new applet::CIpAddressDlg(nullptr);
                     dialog->m_strStart = "10.0.0.1";
                     return Prepared(dialog);
                   }});
  shots.push_back({"dialog-ip-address-range", [] {
                     auto* dialog = new applet::CIpAddressDlg(nullptr);
                     dialog->m_strTitle = "Edit IP address";
                     dialog->m_strStart = "10.0.0.1";
                     dialog->m_strEnd = "10.0.0.9";
                     return Prepared(dialog);
                   }});
  shots.push_back({"message-cant-delete-admin", [] {
                     return Message(QMessageBox::Critical, applet::kCantDeleteAdminCaption,
                                    applet::kCantDeleteAdminText, QMessageBox::Ok);
                   }});
  shots.push_back({"message-remove-messages", [] {
                     return Message(QMessageBox::Question, applet::kDeleteAccountCaption,
                                    applet::kRemoveMessagesText, QMessageBox::Yes | QMessageBox::No);
                   }});
  shots.push_back({"message-forward-rule-bar", [] {
                     return Message(QMessageBox::Warning, "Add Forward Rule", applet::kForwardRuleBarText,
                                    QMessageBox::Ok);
                   }});
  shots.push_back({"message-test-dns-result", [] {
                     return Message(QMessageBox::NoIcon, applet::kMessageCaption, "10 mx1.example.net",
                                    QMessageBox::Ok);
                   }});
  shots.push_back({"message-test-dns-failure", [] {
                     return Message(QMessageBox::NoIcon, applet::kMessageCaption, NoAnswerText(), QMessageBox::Ok);
                   }});
  shots.push_back({"message-empty-user-name", [] {
                     return Message(QMessageBox::Warning, "Add User Account", applet::kEmptyUserNameText,
                                    QMessageBox::Ok);
                   }});
  shots.push_back({"message-list-too-large", [] {
                     return Message(QMessageBox::Warning, "Domains", applet::ListTooLargeText("domains", 4312),
                                    QMessageBox::Ok);
                   }});
  shots.push_back({"message-list-unreadable", [] {
                     return Message(QMessageBox::Warning, "User Accounts",
                                    applet::ListUnreadableText(applet::kAccountsListName, "Access is denied."),
                                    QMessageBox::Ok);
                   }});
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: applet_screenshots OUT_DIR\n");
    return 2;
  }
  QDir folder(QString::fromLocal8Bit(argv[1]));
  if (!folder.mkpath(QStringLiteral("."))) return 1;
  StoreSampleSettings();

  int failures = 0;
  {
    applet::CMailPropertySheet sheet;
    sheet.SetHiveWritableCheck([] { return true; });
    static const char* const kPageFiles[] = {"page1-general", "page2-advanced", "page3-user-accounts",
                                             "page4-domains", "page5-forward-rules", "page6-relay",
                                             "page7-ip-filter", "page8-encryption"};
    sheet.show();
    for (int i = 0; i < applet::kPageCount; ++i) {
      sheet.Tabs()->setCurrentIndex(i);
      // The sheet keeps the size it opened with, as on the screen.
      if (!Save(&sheet, folder, QString::fromLatin1(kPageFiles[i]), i == 0)) ++failures;
    }
  }

  std::vector<Shot> shots = {
      {"message-admin-rights",
       [] {
         return Message(QMessageBox::Warning, "Kestrune Mail Service Configuration", applet::kNoAdminRightsText,
                        QMessageBox::Ok);
       }},
      {"message-enter-integer",
       [] {
         return Message(QMessageBox::Warning, applet::kMessageCaption, applet::kEnterIntegerText, QMessageBox::Ok);
       }},
  };
  AddDialogShots(shots);
  for (const Shot& shot : shots) {
    QWidget* window = shot.make();
    if (!Save(window, folder, QString::fromLatin1(shot.name))) ++failures;
    delete window;
  }
  return failures == 0 ? 0 : 1;
}
