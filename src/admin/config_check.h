// quillctl's check of the stored configuration: what the service would
// ignore, refuse or stumble over (lists too large or malformed, numbers out
// of range, names that cannot name a mailbox folder, folders and files that
// are not there, ports another program holds). Each check is one entry of a
// table, so that the checks of new settings plug in beside the others; a
// setting that names a folder or a file is checked from its entry in the
// settings table (its PathKind) without a check of its own.
#pragma once

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "common/settings_table.h"

namespace admin {

enum class Severity {
  Warning,  // works, but likely not as meant
  Error,    // the service ignores or refuses it, or fails on it
};

struct Finding {
  Severity severity;
  std::string subject;  // "Settings\Port", "UserAccounts\Users", ...
  std::string text;
};

enum class PortUse { Free, ThisService, OtherProgram, Untestable };

// What the checks ask of the machine besides the registry and the files;
// tests put fakes in.
struct CheckProbes {
  // Who holds a TCP port: nobody, this mail service (its greeting answers),
  // another program, or it cannot be tested (a low port without the right
  // to bind it).
  std::function<PortUse(int port)> port_use;

  static CheckProbes System();
};

struct ConfigurationCheck {
  const char* name;
  void (*run)(const CheckProbes& probes, std::vector<Finding>& findings);
};

std::span<const ConfigurationCheck> ConfigurationChecks();
// Every check's findings, in the order of the table.
std::vector<Finding> CheckConfiguration(const CheckProbes& probes);
bool HasErrors(const std::vector<Finding>& findings);

// The check of one text setting that names a folder or a file (its
// PathKind): an error when the folder is missing or the file cannot be read.
void CheckSettingPath(const settings::Setting& setting, std::vector<Finding>& findings);

}  // namespace admin
