#include "admin/encryption_settings.h"

#include <array>

namespace admin {

namespace {

// In the order Save writes them.
constexpr std::array kEncryptionFields = {
    settings::Bind(settings::kTlsCertificate, &CEncryptionSettings::m_strCertificate),
    settings::Bind(settings::kTlsPrivateKey, &CEncryptionSettings::m_strPrivateKey),
    settings::Bind(settings::kSmtpsPort, &CEncryptionSettings::m_nSmtpsPort),
    settings::Bind(settings::kPop3sPort, &CEncryptionSettings::m_nPop3sPort),
    settings::Bind(settings::kTlsAuthOnly, &CEncryptionSettings::m_bTlsAuthOnly),
    settings::Bind(settings::kRelayTls, &CEncryptionSettings::m_bRelayTls),
};

}  // namespace

void CEncryptionSettings::Load() { settings::LoadFields(*this, kEncryptionFields); }

void CEncryptionSettings::Save() const { settings::SaveFields(*this, kEncryptionFields); }

}  // namespace admin
