// The Encryption page's settings (section "Settings"): the certificate and
// private key files, the two ports with implicit TLS (0: off), passwords
// only on encrypted sessions, and STARTTLS when relaying. Read when the page
// is created, written together when the sheet applies its pages.
#pragma once

#include <string>

#include "common/settings_table.h"

namespace admin {

struct CEncryptionSettings {
  std::string m_strCertificate = settings::kTlsCertificate.text_default;
  std::string m_strPrivateKey = settings::kTlsPrivateKey.text_default;
  int m_nSmtpsPort = settings::kSmtpsPort.number_default;
  int m_nPop3sPort = settings::kPop3sPort.number_default;
  int m_bTlsAuthOnly = settings::kTlsAuthOnly.number_default;
  int m_bRelayTls = settings::kRelayTls.number_default;

  // Reads the six values, each with its default when absent.
  void Load();
  // Writes TlsCertificate, TlsPrivateKey, SmtpsPort, Pop3sPort, TlsAuthOnly
  // and RelayTls, in this order; nothing else.
  void Save() const;
};

}  // namespace admin
