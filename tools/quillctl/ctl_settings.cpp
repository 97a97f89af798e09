// quillctl get, set and settings: every single value of the settings table
// by name, numbers checked against the table's range; relay show and relay
// set: the same for the relay's five settings.
#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "admin/relay_settings.h"
#include "admin/setting_values.h"
#include "common/settings_table.h"
#include "quillctl/ctl_commands.h"
#include "quillctl/ctl_output.h"
#include "quillctl/ctl_settings_doc.h"

namespace quillctl {
namespace {

const settings::Setting* FindSetting(const Invocation& invocation, const std::string& name) {
  const settings::Setting* setting = admin::FindScalarSetting(name);
  if (setting == nullptr) invocation.Fail("there is no setting '" + name + "' (quillctl settings lists them)");
  return setting;
}

Json ValueJson(const settings::Setting& setting, const std::string& text) {
  return setting.type == settings::Type::Number ? Json::Number(std::stoll(text)) : Json::String(text);
}

Json SettingJson(const settings::Setting& setting) {
  const admin::SettingValue value = admin::ReadSettingValue(setting);
  Json json = Json::Object();
  json.Set("section", Json::String(setting.section))
      .Set("name", Json::String(setting.name))
      .Set("type", Json::String(setting.type == settings::Type::Number ? "number" : "text"))
      .Set("value", ValueJson(setting, value.text))
      .Set("stored", Json::Bool(value.stored))
      .Set("default", setting.type == settings::Type::Text && setting.text_default == nullptr
                          ? Json::Null()
                          : ValueJson(setting, admin::DefaultText(setting)));
  if (setting.type == settings::Type::Number)
    json.Set("min", Json::Number(setting.min)).Set("max", Json::Number(setting.max));
  return json;
}

int ShowSettings(Invocation& invocation, const std::vector<const settings::Setting*>& list) {
  if (invocation.Has(kOptJson)) {
    Json json = Json::Array();
    for (const settings::Setting* setting : list) json.Push(SettingJson(*setting));
    invocation.io.out << json.Dump() << "\n";
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (const settings::Setting* setting : list) {
    const admin::SettingValue value = admin::ReadSettingValue(*setting);
    rows.push_back({setting->name, value.text, value.stored ? "" : "(default)", admin::RangeText(*setting)});
  }
  PrintTable(invocation.io.out, {"NAME", "VALUE", "", "LIMITS"}, rows);
  return kExitOk;
}

int SetValue(Invocation& invocation, const settings::Setting& setting, const std::string& text) {
  if (const std::optional<std::string> refusal = admin::SettingValueRefusal(setting, text))
    return invocation.Fail(std::string(setting.name) + ": " + *refusal);
  if (!admin::WriteSettingValue(setting, text))
    return invocation.Fail(std::string(setting.name) + " could not be stored in the registry");
  invocation.changed = true;
  return kExitOk;
}

}  // namespace

int Get(Invocation& invocation) {
  const settings::Setting* setting = FindSetting(invocation, invocation.operands[0]);
  if (setting == nullptr) return kExitFailed;
  if (invocation.Has(kOptJson)) {
    invocation.io.out << SettingJson(*setting).Dump() << "\n";
  } else {
    invocation.io.out << admin::ReadSettingValue(*setting).text << "\n";
  }
  return kExitOk;
}

int Set(Invocation& invocation) {
  const settings::Setting* setting = FindSetting(invocation, invocation.operands[0]);
  if (setting == nullptr) return kExitFailed;
  return SetValue(invocation, *setting, invocation.operands[1]);
}

int SettingsList(Invocation& invocation) {
  if (invocation.Has(kOptMarkdown)) {
    if (invocation.Has(kOptJson)) return invocation.Fail("--markdown and --json exclude each other");
    invocation.io.out << ConfigurationMarkdown();
    return kExitOk;
  }
  return ShowSettings(invocation, admin::ScalarSettings());
}

int RelayShow(Invocation& invocation) { return ShowSettings(invocation, admin::RelaySettingsList()); }

int RelaySet(Invocation& invocation) {
  const std::vector<const settings::Setting*> relay = admin::RelaySettingsList();
  const settings::Setting* setting = admin::FindScalarSetting(invocation.operands[0]);
  if (std::find(relay.begin(), relay.end(), setting) == relay.end()) {
    std::string names;
    for (const settings::Setting* one : relay) names += (names.empty() ? "" : ", ") + std::string(one->name);
    return invocation.Fail("the relay's settings are " + names);
  }
  return SetValue(invocation, *setting, invocation.operands[1]);
}

}  // namespace quillctl
