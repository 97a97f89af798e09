#include "quillctl/ctl_settings_doc.h"

#include <sstream>

#include "admin/setting_values.h"
#include "common/settings_registry.h"
#include "common/settings_table.h"
#include "common/text.h"

namespace quillctl {
namespace {

// A table cell: "|" would end it, and "*" would begin emphasis.
std::string Cell(std::string_view text) { return text::ReplaceAll(text::ReplaceAll(text, "|", "\\|"), "*", "\\*"); }

// A code span in a table cell, where only "|" needs its escape.
std::string Code(std::string_view text) {
  return text.empty() ? "empty" : "`" + text::ReplaceAll(text, "|", "\\|") + "`";
}

std::string TypeText(const settings::Setting& setting) {
  if (setting.type == settings::Type::Number) return "number (REG_DWORD)";
  switch (setting.path) {
    case settings::PathKind::Folder:
      return "text (REG_SZ): a folder";
    case settings::PathKind::File:
      return "text (REG_SZ): a file";
    case settings::PathKind::None:
      break;
  }
  return "text (REG_SZ)";
}

std::string DefaultCell(const settings::Setting& setting) {
  if (setting.type == settings::Type::Text && setting.text_default == nullptr) return admin::kHostNameDefaultText;
  return Code(admin::DefaultText(setting));
}

}  // namespace

std::string ConfigurationMarkdown() {
  std::ostringstream doc;
  doc << "# Configuration reference\n\n"
      << "<!-- Generated from src/common/settings_table.h by `quillctl settings --markdown`; do not edit.\n"
      << "     Regenerate it with: " << kRegenerateConfigurationDoc << " -->\n\n"
      << "Every value of the mail service's configuration is a registry value below\n"
      << "`HKLM\\" << kProductKey << "\\<section>`, in the hive of the machine\n"
      << "(`$QUILLPOST_HOME/registry.db`). The service reads them at its start and again\n"
      << "whenever it is signalled to reload (`quillctl reload`; every change made with\n"
      << "`quillctl` or the applet signals it). A reload does not reach what the service\n"
      << "set up at its start (the log file, the listening ports, a running relay) nor\n"
      << "connections already open. Change values with `quillctl set NAME VALUE` (numbers\n"
      << "are checked against their limits), the lists with their `quillctl` commands,\n"
      << "or anything with the applet or `quillreg`; `quillctl check` says what the\n"
      << "service would ignore or refuse.\n\n"
      << "## Single values\n\n"
      << "| Section | Name | Type | Default | Limits | Meaning | Read by |\n"
      << "|---|---|---|---|---|---|---|\n";
  for (const settings::Setting* setting : admin::ScalarSettings()) {
    const std::string limits = admin::RangeText(*setting);
    doc << "| " << setting->section << " | `" << setting->name << "` | " << TypeText(*setting) << " | "
        << DefaultCell(*setting) << " | " << (limits.empty() ? "" : limits) << " | " << Cell(setting->meaning) << " | "
        << Cell(setting->read_by) << " |\n";
  }
  doc << "\nA number stored in another form than 4 bytes reads as its default; a text is read\n"
      << "up to its first zero byte.\n\n"
      << "## Lists\n\n"
      << "| Section | Name | One element | Service loads up to | Meaning | Read by |\n"
      << "|---|---|---|---|---|---|\n";
  for (const settings::Setting* setting : settings::AllSettings()) {
    if (setting->type != settings::Type::List) continue;
    doc << "| " << setting->section << " | `" << setting->name << "` | " << Cell(setting->element) << " | "
        << setting->service_max_bytes << " bytes | " << Cell(setting->meaning) << " | " << Cell(setting->read_by)
        << " |\n";
  }
  doc << "\nThe service ignores a list larger than it loads, and one whose bytes are no list,\n"
      << "and keeps the list it had (none at its start). The applet and `quillctl` store no\n"
      << "list larger than the service loads; the applet still shows the lists of domains,\n"
      << "forward rules and pre-defined mail servers up to " << settings::kMaxLongListBytes
      << " bytes, as earlier\nversions stored them.\n\n"
      << "### The list format\n\n"
      << "Every list is a `REG_BINARY` value, all integers little-endian, without padding:\n\n"
      << "1. the number of elements, an unsigned 16-bit integer;\n"
      << "2. the elements one after another: a text element is one string; an account is\n"
      << "   three strings (user name, full name, password), without a class tag or version;\n"
      << "3. a string is its length and that many bytes, without a terminator: a length\n"
      << "   below 255 is one byte; a longer one is the byte `FF` and an unsigned 16-bit\n"
      << "   length.\n\n"
      << "An empty list is the two bytes `00 00`; a list of the texts `a.com` and `b.test`\n"
      << "is the 15 bytes `02 00 05 61 2E 63 6F 6D 06 62 2E 74 65 73 74`.\n";
  return doc.str();
}

}  // namespace quillctl
