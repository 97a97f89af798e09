#include "applet/encryption_page.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "applet/applet_ui.h"

namespace applet {

CEncryptionPage::CEncryptionPage() : CPropertyPage(tr("Encryption")) {
  setObjectName(QStringLiteral("encryptionPage"));
  m_settings.Load();
}

void CEncryptionPage::OnInitDialog() {
  auto* files = new QGroupBox(tr("Certificate"), this);
  auto* files_grid = new QGridLayout(files);
  m_pCertificate = AddEdit(files_grid, 0, tr("&Certificate file:"), QStringLiteral("certificateEdit"), files);
  auto* browse_certificate = AddBrowseButton(files_grid, 0, QStringLiteral("browseCertificateButton"), files);
  m_pPrivateKey = AddEdit(files_grid, 1, tr("Private &key file:"), QStringLiteral("privateKeyEdit"), files);
  auto* browse_key = AddBrowseButton(files_grid, 1, QStringLiteral("browsePrivateKeyButton"), files);
  auto* no_certificate = new QLabel(tr("Without a certificate the service does not encrypt."), files);
  files_grid->addWidget(no_certificate, 2, 1, 1, 2);
  files_grid->setColumnStretch(1, 1);

  auto* ports = new QGroupBox(tr("Ports with implicit encryption"), this);
  auto* ports_grid = new QGridLayout(ports);
  m_pSmtpsPort = AddEdit(ports_grid, 0, tr("S&MTP port:"), QStringLiteral("smtpsPortEdit"), ports);
  m_pPop3sPort = AddEdit(ports_grid, 1, tr("P&OP3 port:"), QStringLiteral("pop3sPortEdit"), ports);
  MakePortField(ports_grid, 0, m_pSmtpsPort);
  MakePortField(ports_grid, 1, m_pPop3sPort);
  auto* off = new QLabel(tr("(0 = off; usually 465 and 995)"), ports);
  off->setObjectName(QStringLiteral("portsOffLabel"));
  ports_grid->addWidget(off, 0, 2);
  ports_grid->setColumnStretch(2, 1);

  auto* rules = new QGroupBox(tr("Rules"), this);
  auto* rules_layout = new QVBoxLayout(rules);
  m_pTlsAuthOnly = new QCheckBox(tr("Require encryption for passwords"), rules);
  m_pTlsAuthOnly->setObjectName(QStringLiteral("tlsAuthOnlyCheck"));
  m_pRelayTls = new QCheckBox(tr("Use encryption when relaying"), rules);
  m_pRelayTls->setObjectName(QStringLiteral("relayTlsCheck"));
  rules_layout->addWidget(m_pTlsAuthOnly);
  rules_layout->addWidget(m_pRelayTls);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(files);
  layout->addWidget(ports);
  layout->addWidget(rules);
  layout->addStretch(1);

  UpdateData(false);

  for (QLineEdit* edit : {m_pCertificate, m_pPrivateKey, m_pSmtpsPort, m_pPop3sPort})
    connect(edit, &QLineEdit::textChanged, this, [this] { SetModified(); });
  for (QCheckBox* check : {m_pTlsAuthOnly, m_pRelayTls})
    connect(check, &QCheckBox::clicked, this, [this] { SetModified(); });
  connect(browse_certificate, &QPushButton::clicked, this,
          [this] { BrowseInto(m_settings.m_strCertificate, "Select the certificate file:"); });
  connect(browse_key, &QPushButton::clicked, this,
          [this] { BrowseInto(m_settings.m_strPrivateKey, "Select the private key file:"); });
}

bool CEncryptionPage::UpdateData(bool save) {
  if (!IsCreated() || m_pCertificate == nullptr) return true;
  if (!save) {
    m_pCertificate->setText(ToQ(m_settings.m_strCertificate));
    m_pPrivateKey->setText(ToQ(m_settings.m_strPrivateKey));
    m_pSmtpsPort->setText(QString::number(m_settings.m_nSmtpsPort));
    m_pPop3sPort->setText(QString::number(m_settings.m_nPop3sPort));
    m_pTlsAuthOnly->setChecked(m_settings.m_bTlsAuthOnly != 0);
    m_pRelayTls->setChecked(m_settings.m_bRelayTls != 0);
    return true;
  }
  // A refused number leaves the members after it unchanged.
  m_settings.m_strCertificate = FromQ(m_pCertificate->text());
  m_settings.m_strPrivateKey = FromQ(m_pPrivateKey->text());
  if (!ExchangeInt(m_pSmtpsPort, m_settings.m_nSmtpsPort, settings::kSmtpsPort.min, settings::kSmtpsPort.max))
    return false;
  if (!ExchangeInt(m_pPop3sPort, m_settings.m_nPop3sPort, settings::kPop3sPort.min, settings::kPop3sPort.max))
    return false;
  m_settings.m_bTlsAuthOnly = m_pTlsAuthOnly->isChecked() ? 1 : 0;
  m_settings.m_bRelayTls = m_pRelayTls->isChecked() ? 1 : 0;
  return true;
}

bool CEncryptionPage::OnOK() {
  if (!UpdateData(true)) return false;
  m_settings.Save();
  return true;
}

void CEncryptionPage::BrowseInto(std::string& file, const char* prompt) {
  if (!UpdateData(true)) return;
  const std::string chosen = BrowseForFile(this, tr(prompt), file);
  if (chosen.empty()) return;
  file = chosen;
  UpdateData(false);
  SetModified();
}

}  // namespace applet
