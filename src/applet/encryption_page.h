// CEncryptionPage ("Encryption"): the certificate and private key files
// (each with a ".." button that opens a file picker), the SMTP and POP3
// ports with implicit TLS (0: off), and the two rules "Require encryption
// for passwords" and "Use encryption when relaying"; all stored on Apply/OK.
#pragma once

#include "admin/encryption_settings.h"
#include "applet/admin_names.h"
#include "applet/property_page.h"

class QCheckBox;
class QLineEdit;

namespace applet {

class CEncryptionPage : public CPropertyPage {
  Q_OBJECT

 public:
  CEncryptionPage();
  const CEncryptionSettings& Settings() const { return m_settings; }

  bool OnOK() override;

 protected:
  void OnInitDialog() override;
  bool UpdateData(bool save) override;

 private:
  void BrowseInto(std::string& file, const char* prompt);

  CEncryptionSettings m_settings;
  QLineEdit* m_pCertificate = nullptr;
  QLineEdit* m_pPrivateKey = nullptr;
  QLineEdit* m_pSmtpsPort = nullptr;
  QLineEdit* m_pPop3sPort = nullptr;
  QCheckBox* m_pTlsAuthOnly = nullptr;
  QCheckBox* m_pRelayTls = nullptr;
};

}  // namespace applet
