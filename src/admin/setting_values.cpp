#include "admin/setting_values.h"

#include <climits>
#include <cstdint>

#include "admin/value_parse.h"
#include "common/settings_registry.h"
#include "common/text.h"

namespace admin {

std::vector<const settings::Setting*> ScalarSettings() {
  std::vector<const settings::Setting*> scalars;
  for (const settings::Setting* setting : settings::AllSettings())
    if (setting->type != settings::Type::List) scalars.push_back(setting);
  return scalars;
}

const settings::Setting* FindScalarSetting(std::string_view name) {
  const std::size_t separator = name.find('\\');
  for (const settings::Setting* setting : ScalarSettings()) {
    const bool found = separator == std::string_view::npos
                           ? text::EqualsNoCase(setting->name, name)
                           : text::EqualsNoCase(setting->section, name.substr(0, separator)) &&
                                 text::EqualsNoCase(setting->name, name.substr(separator + 1));
    if (found) return setting;
  }
  return nullptr;
}

SettingValue ReadSettingValue(const settings::Setting& setting) {
  SettingValue value;
  std::vector<std::uint8_t> bytes;
  value.stored = QueryRegBinary(setting.section, setting.name, bytes) == ERROR_SUCCESS;
  value.text = setting.type == settings::Type::Number ? std::to_string(settings::ReadNumber(setting))
                                                      : settings::ReadText(setting);
  return value;
}

std::string DefaultText(const settings::Setting& setting) {
  if (setting.type == settings::Type::Number) return std::to_string(setting.number_default);
  return setting.text_default != nullptr ? setting.text_default : kHostNameDefaultText;
}

std::string RangeText(const settings::Setting& setting) {
  if (setting.type != settings::Type::Number) return std::string();
  if (setting.max == INT_MAX) return text::Format("at least %d", setting.min);
  return text::Format("%d to %d", setting.min, setting.max);
}

std::optional<std::string> SettingValueRefusal(const settings::Setting& setting, std::string_view text) {
  if (setting.type != settings::Type::Number) {
    for (const char c : text)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return std::string(kControlCharacterText);
    return std::nullopt;
  }
  int number = 0;
  return RefuseInt(text, setting.min, setting.max, number);
}

bool WriteSettingValue(const settings::Setting& setting, std::string_view text) {
  if (SettingValueRefusal(setting, text)) return false;
  if (setting.type == settings::Type::Text) return settings::WriteText(setting, text);
  int number = 0;
  ParseInt(text, number);
  return settings::WriteNumber(setting, number);
}

}  // namespace admin
