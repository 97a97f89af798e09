#include "applet/general_page.h"

#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "applet/applet_ui.h"
#include "platform/paths.h"
#include "platform/shell.h"

namespace applet {
CGeneralPage::CGeneralPage(ServiceManagerAccess service)
    : CPropertyPage(tr("General")), m_service(std::move(service)) {
  setObjectName(QStringLiteral("generalPage"));
  m_settings.Load();
}

void CGeneralPage::OnInitDialog() {
  auto* server = new QGroupBox(tr("Server"), this);
  auto* server_grid = new QGridLayout(server);
  m_pPop3Port = AddEdit(server_grid, 0, tr("&POP3 Port:"), QStringLiteral("pop3PortEdit"), server);
  m_pSmtpPort = AddEdit(server_grid, 1, tr("&SMTP Port:"), QStringLiteral("smtpPortEdit"), server);
  m_pMailFolder = AddEdit(server_grid, 2, tr("&Mail Folder:"), QStringLiteral("mailFolderEdit"), server);
  auto* browse_mail = AddBrowseButton(server_grid, 2, QStringLiteral("browseMailFolderButton"), server);
  m_pServerId = AddEdit(server_grid, 3, tr("Server &ID:"), QStringLiteral("serverIdEdit"), server);
  // The folder and the identification take the room the ports leave.
  MakePortField(server_grid, 0, m_pPop3Port);
  MakePortField(server_grid, 1, m_pSmtpPort);
  server_grid->setColumnStretch(1, 1);

  auto* logging = new QGroupBox(tr("Logging"), this);
  auto* logging_grid = new QGridLayout(logging);
  m_pLogLevel = new QComboBox(logging);
  m_pLogLevel->setObjectName(QStringLiteral("logLevelCombo"));
  for (const char* name : kLogLevelNames) m_pLogLevel->addItem(QString::fromLatin1(name));
  auto* level_label = new QLabel(tr("Log level:"), logging);
  level_label->setBuddy(m_pLogLevel);
  logging_grid->addWidget(level_label, 0, 0);
  logging_grid->addWidget(m_pLogLevel, 0, 1, Qt::AlignLeft);
  m_pLogPath = AddEdit(logging_grid, 1, tr("Log path:"), QStringLiteral("logPathEdit"), logging);
  auto* browse_log = AddBrowseButton(logging_grid, 1, QStringLiteral("browseLogPathButton"), logging);
  auto* view = new QPushButton(tr("&View..."), logging);
  view->setObjectName(QStringLiteral("viewLogButton"));
  logging_grid->addWidget(view, 2, 1, Qt::AlignLeft);
  logging_grid->setColumnStretch(1, 1);

  auto* service = new QGroupBox(tr("Service"), this);
  auto* service_row = new QHBoxLayout(service);
  m_pStatus = new QLabel(QString::fromLatin1(kServiceNotInstalledText), service);
  m_pStatus->setObjectName(QStringLiteral("serviceStatusText"));
  m_pStatus->setMinimumWidth(m_pStatus->fontMetrics().horizontalAdvance(QStringLiteral("Not Installed")) + 24);
  m_pStart = new QPushButton(tr("&Start"), service);
  m_pStart->setObjectName(QStringLiteral("startButton"));
  m_pStop = new QPushButton(tr("S&top"), service);
  m_pStop->setObjectName(QStringLiteral("stopButton"));
  // Restart is part of the page but never shown.
  m_pRestart = new QPushButton(tr("Restart"), service);
  m_pRestart->setObjectName(QStringLiteral("restartButton"));
  m_pRestart->setVisible(false);
  service_row->addWidget(m_pStatus);
  service_row->addStretch(1);
  service_row->addWidget(m_pStart);
  service_row->addWidget(m_pStop);
  service_row->addWidget(m_pRestart);
  // "Not Installed" until a poll finds the service: nothing to start or stop.
  ApplyButtons(ServiceButtons{});

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(server);
  layout->addWidget(logging);
  layout->addWidget(service);
  layout->addStretch(1);

  UpdateData(false);

  for (QLineEdit* edit : {m_pPop3Port, m_pSmtpPort, m_pMailFolder, m_pLogPath, m_pServerId})
    connect(edit, &QLineEdit::textChanged, this, [this] { SetModified(); });
  connect(m_pLogLevel, &QComboBox::currentIndexChanged, this, [this] { SetModified(); });
  connect(browse_mail, &QPushButton::clicked, this, &CGeneralPage::OnBrowseMailFolder);
  connect(browse_log, &QPushButton::clicked, this, &CGeneralPage::OnBrowseLogPath);
  connect(view, &QPushButton::clicked, this, &CGeneralPage::ViewLogFile);
  connect(m_pStart, &QPushButton::clicked, this, &CGeneralPage::OnStart);
  connect(m_pStop, &QPushButton::clicked, this, &CGeneralPage::OnStop);
  connect(m_pRestart, &QPushButton::clicked, this, &CGeneralPage::OnRestart);

  m_pTimer = new QTimer(this);
  m_pTimer->setObjectName(QStringLiteral("statusTimer"));
  m_pTimer->setInterval(kStatusPollMs);
  connect(m_pTimer, &QTimer::timeout, this, &CGeneralPage::UpdateServiceStatus);
  m_pTimer->start();
  UpdateServiceStatus();
}

bool CGeneralPage::UpdateData(bool save) {
  if (!IsCreated() || m_pPop3Port == nullptr) return true;
  if (!save) {
    m_pPop3Port->setText(QString::number(m_settings.m_nPort));
    m_pSmtpPort->setText(QString::number(m_settings.m_nSmtpPort));
    m_pMailFolder->setText(ToQ(m_settings.m_strMailFolder));
    m_pLogPath->setText(ToQ(m_settings.m_strLogPath));
    m_pLogLevel->setCurrentIndex(m_settings.m_nLogLevel >= 0 && m_settings.m_nLogLevel < m_pLogLevel->count()
                                     ? m_settings.m_nLogLevel
                                     : -1);
    m_pServerId->setText(ToQ(m_settings.m_strServerId));
    return true;
  }
  // A refused number leaves the members after it unchanged.
  if (!ExchangeInt(m_pPop3Port, m_settings.m_nPort, kMinPort, kMaxPort)) return false;
  if (!ExchangeInt(m_pSmtpPort, m_settings.m_nSmtpPort, kMinPort, kMaxPort)) return false;
  m_settings.m_strMailFolder = FromQ(m_pMailFolder->text());
  m_settings.m_strLogPath = FromQ(m_pLogPath->text());
  // No entry selected (a stored level outside the list) keeps the stored level.
  if (m_pLogLevel->currentIndex() >= 0) m_settings.m_nLogLevel = m_pLogLevel->currentIndex();
  m_settings.m_strServerId = FromQ(m_pServerId->text());
  return true;
}

bool CGeneralPage::OnOK() {
  if (!UpdateData(true)) return false;
  m_settings.Save();
  return true;
}

void CGeneralPage::UpdateServiceStatus() {
  const std::optional<CServiceControl::Poll> poll = m_service.UpdateServiceStatus();
  if (!poll || m_pStatus == nullptr) return;
  m_pStatus->setText(ToQ(poll->text));
  ApplyButtons(poll->buttons);
}

void CGeneralPage::ApplyButtons(const ServiceButtons& buttons) {
  m_pStart->setEnabled(buttons.start);
  m_pStop->setEnabled(buttons.stop);
  m_pRestart->setEnabled(buttons.restart);
}

void CGeneralPage::BrowseInto(std::string& folder, const char* prompt) {
  if (!UpdateData(true)) return;
  const std::string chosen = BrowseForFolder(this, tr(prompt), kBrowseFlags, folder);
  if (chosen.empty()) return;
  folder = chosen;
  UpdateData(false);
  SetModified();
}

void CGeneralPage::OnBrowseMailFolder() { BrowseInto(m_settings.m_strMailFolder, "Select a directory:"); }

void CGeneralPage::OnBrowseLogPath() {
  BrowseInto(m_settings.m_strLogPath, "Select a directory for the log file:");
}

void CGeneralPage::ViewLogFile() {
  const std::optional<std::string> file = LogFileToView(m_settings.m_strLogPath, m_service);
  if (!file) {
    ShowMessage(this, QString::fromLatin1(kNoServicePathText), QString::fromLatin1(kNoServicePathCaption),
                QMessageBox::Critical);
    return;
  }
  const int result = platform::ShellOpenFile(kLogEditorProgram, platform::MapPath(*file));
  if (const std::optional<std::string> error = ShellErrorText(result))
    ShowMessage(this, ToQ(*error), QString::fromLatin1(kShellErrorCaption), QMessageBox::Warning);
}

void CGeneralPage::OnStart() { m_service.RequestServiceStart(); }
void CGeneralPage::OnStop() { m_service.RequestServiceStop(); }
void CGeneralPage::OnRestart() { m_service.RequestServiceRestart(); }

}  // namespace applet
