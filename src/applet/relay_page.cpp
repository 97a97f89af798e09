#include "applet/relay_page.h"

#include <QApplication>
#include <QCheckBox>
#include <QEventLoop>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScopeGuard>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "applet/applet_ui.h"
#include "applet/entry_dialogs.h"

namespace applet {

CRelayPage::CRelayPage()
    : CPropertyPage(tr("Relay")),
      m_arrRecords(MxRecordsFormat()),
      m_fnLookup([](const std::string& server, const std::string& domain, std::vector<std::string>& results,
                    std::string& error) { return ResolverLookup(server, domain, results, error); }) {
  setObjectName(QStringLiteral("relayPage"));
  m_settings.Load();
}

void CRelayPage::OnInitDialog() {
  auto* general = new QGroupBox(tr("General"), this);
  auto* grid = new QGridLayout(general);
  m_pRelay = new QCheckBox(tr("Re&lay messages"), general);
  m_pRelay->setObjectName(QStringLiteral("relayCheck"));
  grid->addWidget(m_pRelay, 0, 0, 1, 4);
  const auto add_field = [&](int row, int column, const QString& label, const char* name, const char* label_name) {
    auto* edit = new QLineEdit(general);
    edit->setObjectName(QString::fromLatin1(name));
    auto* text = new QLabel(label, general);
    text->setObjectName(QString::fromLatin1(label_name));
    text->setBuddy(edit);
    grid->addWidget(text, row, column);
    grid->addWidget(edit, row, column + 1);
    m_arrSettingsControls.push_back(edit);
    m_arrSettingsControls.push_back(text);
    return edit;
  };
  m_pHostName = add_field(1, 0, tr("Server &Hostname:"), "hostNameEdit", "hostNameLabel");
  m_pDnsServer = add_field(2, 0, tr("&DNS Server:"), "dnsServerEdit", "dnsServerLabel");
  m_pMaxRecipients = add_field(1, 2, tr("&Max. recipients:"), "maxRecipientsEdit", "maxRecipientsLabel");
  m_pTimeout = add_field(2, 2, tr("Time&out (secs):"), "relayTimeoutEdit", "relayTimeoutLabel");
  // The time-out field takes digits only.
  m_pTimeout->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_pTimeout));
  auto* unlimited = new QLabel(tr("(0 = unlimited)"), general);
  unlimited->setObjectName(QStringLiteral("unlimitedLabel"));
  grid->addWidget(unlimited, 1, 4);
  m_arrSettingsControls.push_back(unlimited);
  m_pTestDns = new QPushButton(tr("&Test DNS..."), general);
  m_pTestDns->setObjectName(QStringLiteral("testDnsButton"));
  grid->addWidget(m_pTestDns, 2, 4);
  m_arrSettingsControls.push_back(m_pTestDns);
  grid->setColumnStretch(1, 2);
  grid->setColumnStretch(3, 1);

  auto* records = new QGroupBox(tr("Pre-defined DNS Records"), this);
  auto* records_layout = new QVBoxLayout(records);
  auto* explanation =
      new QLabel(tr("Here you can setup domains for which you want no DNS MX lookups to be performed on. "
                    "The specified Mail server will be used instead."),
                 records);
  explanation->setWordWrap(true);
  records_layout->addWidget(explanation);
  const ListWithButtons parts =
      MakeListWithButtons(records, {tr("Domain"), tr("Relay to")}, QStringLiteral("mxRecordsList"));
  m_pRecordsList = parts.list;
  records_layout->addWidget(parts.box, 1);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(general);
  layout->addWidget(records, 1);

  m_pEditor = new CListEditor(
      m_arrRecords, m_pRecordsList,
      [this](const QString& caption, const ListRow& row) -> std::optional<ListRow> {
        CDnsRecordDlg dialog(this);
        dialog.m_strCaption = FromQ(caption);
        dialog.m_strDomain = row[0];
        dialog.m_strMailServer = row[1];
        if (dialog.DoModal() != QDialog::Accepted) return std::nullopt;
        return ListRow{dialog.m_strDomain, dialog.m_strMailServer};
      },
      tr("Add DNS Record"), tr("Edit DNS Record"), this);
  ConnectListButtons(parts, m_pEditor, this, true);
  m_pEditor->Load();

  UpdateData(false);
  EnableSettings();
  connect(m_pRelay, &QCheckBox::clicked, this, &CRelayPage::OnRelayClicked);
  for (QLineEdit* edit : {m_pHostName, m_pDnsServer, m_pMaxRecipients, m_pTimeout})
    connect(edit, &QLineEdit::textChanged, this, [this] { SetModified(); });
  connect(m_pTestDns, &QPushButton::clicked, this, &CRelayPage::OnTestDns);
}

bool CRelayPage::UpdateData(bool save) {
  if (m_pRelay == nullptr) return true;
  if (!save) {
    m_pRelay->setChecked(m_settings.m_bRelayMessages != 0);
    m_pHostName->setText(ToQ(m_settings.m_strHostName));
    m_pMaxRecipients->setText(QString::number(m_settings.m_nMaxRecipients));
    m_pDnsServer->setText(ToQ(m_settings.m_strDnsServer));
    m_pTimeout->setText(QString::number(m_settings.m_nRelayTimeout));
    return true;
  }
  // A refused number leaves the members after it as they were.
  m_settings.m_bRelayMessages = m_pRelay->isChecked() ? 1 : 0;
  m_settings.m_strHostName = FromQ(m_pHostName->text());
  if (!ExchangeInt(m_pMaxRecipients, m_settings.m_nMaxRecipients)) return false;
  m_settings.m_strDnsServer = FromQ(m_pDnsServer->text());
  if (!ExchangeInt(m_pTimeout, m_settings.m_nRelayTimeout)) return false;
  return true;
}

void CRelayPage::EnableSettings() {
  for (QWidget* control : m_arrSettingsControls) control->setEnabled(m_settings.m_bRelayMessages != 0);
}

void CRelayPage::OnRelayClicked() {
  UpdateData(true);
  // The check box counts even when a number after it was refused.
  m_settings.m_bRelayMessages = m_pRelay->isChecked() ? 1 : 0;
  EnableSettings();
  SetModified();
}

bool CRelayPage::OnOK() {
  if (!AcceptListSize(m_arrRecords.TooLargeText())) return false;
  if (!UpdateData(true)) return false;
  m_settings.Save();
  return true;
}

void CRelayPage::OnTestDns() {
  CGetMxRecordDlg dialog(this);
  if (dialog.DoModal() != QDialog::Accepted) return;
  // The server last taken from the page, not what was typed since.
  const std::string domain = DnsTestDomain(dialog.m_strAddress);
  std::vector<std::string> results;
  std::string error;
  bool started = false;
  {
    // The lookup may wait for the DNS server's time-out; the sheet stays
    // painted meanwhile and shows that it is busy.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const auto restore = qScopeGuard([] { QApplication::restoreOverrideCursor(); });
    started = m_fnLookup(m_settings.m_strDnsServer, domain, results, error);
  }
  for (const std::string& text : DnsTestMessages(started, results, error))
    ShowMessage(this, ToQ(text), QString(), QMessageBox::NoIcon);
}

bool ResolverLookup(const std::string& server, const std::string& domain, std::vector<std::string>& results,
                    std::string& error, int port) {
  bool started = false;
  // The resolver waits on its own thread's message queue; the window's
  // thread keeps painting meanwhile.
  QThread* worker = QThread::create([&] { started = DnsTestLookup(server, domain, results, error, port); });
  QEventLoop loop;
  QObject::connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
  worker->start();
  if (!worker->isFinished()) loop.exec(QEventLoop::ExcludeUserInputEvents);
  worker->wait();
  delete worker;
  return started;
}

}  // namespace applet
