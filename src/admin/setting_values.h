// The single values of the settings table (numbers and texts) by name, as
// quillctl's get, set and settings commands show and change them: a number
// is stored only when it is a whole number within the setting's range.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/settings_table.h"

namespace admin {

// Every number and text of the settings table, in its order.
std::vector<const settings::Setting*> ScalarSettings();
// The setting a name stands for: its value name, or "Section\Name" (either
// in any case); null when no number or text has that name.
const settings::Setting* FindScalarSetting(std::string_view name);

// The value as text (a number in decimal), and whether it is stored or the
// default stands in for it.
struct SettingValue {
  std::string text;
  bool stored = false;
};
SettingValue ReadSettingValue(const settings::Setting& setting);
// The default as text; the host name's is described, since it depends on
// the machine that reads it.
std::string DefaultText(const settings::Setting& setting);
inline constexpr const char* kHostNameDefaultText = "this computer's host name";
// "1 to 65535", "at least 0"; empty for texts.
std::string RangeText(const settings::Setting& setting);

// Why the text cannot be the setting's value, or nothing. Texts go into
// replies, headers and paths as they are, so they hold no line breaks.
std::optional<std::string> SettingValueRefusal(const settings::Setting& setting, std::string_view text);
// Stores a value that SettingValueRefusal accepts; false when it refuses it
// or the write failed.
bool WriteSettingValue(const settings::Setting& setting, std::string_view text);
inline constexpr const char* kControlCharacterText = "A text setting holds no line breaks or other control characters.";

}  // namespace admin
