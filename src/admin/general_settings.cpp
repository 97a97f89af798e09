#include "admin/general_settings.h"

namespace admin {

namespace {

// In the order Save writes them.
constexpr std::array kGeneralFields = {
    settings::Bind(settings::kMailFolder, &CGeneralSettings::m_strMailFolder),
    settings::Bind(settings::kPort, &CGeneralSettings::m_nPort),
    settings::Bind(settings::kSmtpPort, &CGeneralSettings::m_nSmtpPort),
    settings::Bind(settings::kLogLevel, &CGeneralSettings::m_nLogLevel),
    settings::Bind(settings::kLogPath, &CGeneralSettings::m_strLogPath),
    settings::Bind(settings::kServerID, &CGeneralSettings::m_strServerId),
};

}  // namespace

void CGeneralSettings::Load() { settings::LoadFields(*this, kGeneralFields); }

void CGeneralSettings::Save() const { settings::SaveFields(*this, kGeneralFields); }

}  // namespace admin
