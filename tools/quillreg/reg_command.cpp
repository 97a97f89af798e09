// quillreg: the command line, its dispatch to the operations, and the parts
// the operations share (messages, key arguments, value display, questions).
#include "quillreg/reg_command.h"

#include <cstdio>
#include <istream>
#include <ostream>

#include "quillreg/reg_command_internal.h"
#include "quillreg/reg_text.h"

namespace quillreg {
namespace detail {
namespace {

constexpr std::string_view kRootLong = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kRootShort = "HKLM";

constexpr const char* kGeneralUsage =
    "QUILLREG Operation [Parameter List]\n"
    "\n"
    "  Operation  [ QUERY | ADD | DELETE | IMPORT | EXPORT ]\n"
    "\n"
    "Return Code:\n"
    "\n"
    "  0 - Successful\n"
    "  1 - Failed\n"
    "\n"
    "For help on a specific operation type:\n"
    "\n"
    "  QUILLREG Operation /?\n";

// One operation: its name, the options it takes (without the slash), how many
// plain arguments it needs, its handler and its help text.
struct Operation {
  std::string_view name;
  std::vector<std::string_view> options;
  std::size_t positional;
  int (*run)(const Options&, Io&);
  const char* usage;
};

const std::vector<Operation>& Operations() {
  static const std::vector<Operation> kOperations = {
      {"QUERY", {"v", "ve", "s"}, 1, RunQuery,
       "QUILLREG QUERY KeyName [/v ValueName | /ve] [/s]\n"
       "\n"
       "  KeyName  HKLM\\SubKey (or HKEY_LOCAL_MACHINE\\SubKey)\n"
       "  /v       the value to query; /ve the default (unnamed) value\n"
       "  /s       all subkeys and values, recursively\n"},
      {"ADD", {"v", "ve", "t", "d", "f"}, 1, RunAdd,
       "QUILLREG ADD KeyName [/v ValueName | /ve] [/t Type] [/d Data] [/f]\n"
       "\n"
       "  /t  REG_SZ (default), REG_EXPAND_SZ, REG_DWORD or REG_BINARY\n"
       "  /d  the data: decimal or 0x hexadecimal for REG_DWORD,\n"
       "      hexadecimal digits for REG_BINARY\n"
       "  /f  overwrite an existing value without asking\n"},
      {"DELETE", {"v", "ve", "va", "f"}, 1, RunDelete,
       "QUILLREG DELETE KeyName [/v ValueName | /ve | /va] [/f]\n"
       "\n"
       "  /va  delete all values of the key\n"
       "  /f   delete without asking\n"},
      {"IMPORT", {}, 1, RunImport,
       "QUILLREG IMPORT FileName\n"
       "\n"
       "  FileName  the .reg file to import\n"},
      {"EXPORT", {"y"}, 2, RunExport,
       "QUILLREG EXPORT KeyName FileName [/y]\n"
       "\n"
       "  /y  overwrite an existing file without asking\n"},
  };
  return kOperations;
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

bool IsOptionWord(std::string_view arg) {
  return arg.size() > 1 && (arg.front() == '/' || arg.front() == '-');
}

// Fills `options` from the words after the operation; false on a syntax error.
bool ParseOptions(const Operation& op, const std::vector<std::string>& args, Options& options) {
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::string word;
    if (IsOptionWord(arg)) {
      for (const std::string_view known : op.options) {
        if (EqualsNoCase(std::string_view(arg).substr(1), known)) word = known;
      }
    }
    if (word.empty()) {
      // A file name may start with "/" (a native path): only the
      // operations that take key names refuse unknown options.
      if (IsOptionWord(arg) && (op.name == "QUERY" || op.name == "ADD" || op.name == "DELETE")) {
        return false;
      }
      options.positional.push_back(arg);
      continue;
    }
    const bool takes_value = word == "v" || word == "t" || word == "d";
    if (takes_value && i + 1 >= args.size()) return false;
    if (word == "v") {
      if (options.value) return false;
      options.value = args[++i];
    } else if (word == "t") {
      if (options.type) return false;
      options.type = args[++i];
    } else if (word == "d") {
      if (options.data) return false;
      options.data = args[++i];
    } else {
      bool& flag = word == "ve"   ? options.default_value
                   : word == "va" ? options.all_values
                   : word == "s"  ? options.recurse
                   : word == "f"  ? options.force
                                  : options.overwrite;
      if (flag) return false;
      flag = true;
    }
  }
  const int value_choices =
      (options.value ? 1 : 0) + (options.default_value ? 1 : 0) + (options.all_values ? 1 : 0);
  return value_choices <= 1 && options.positional.size() == op.positional;
}

}  // namespace

int Fail(Io& io, std::string_view message) {
  io.err << "ERROR: " << message << "\n";
  return 1;
}

int FailWithUsage(Io& io, std::string_view message, std::string_view operation) {
  io.err << "ERROR: " << message << "\n"
         << "Type \"QUILLREG " << operation << (operation.empty() ? "" : " ")
         << "/?\" for usage.\n";
  return 1;
}

int FailCode(Io& io, LONG code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return Fail(io, kNotFound);
    case ERROR_ACCESS_DENIED:
      return Fail(io, "Access is denied.");
    case ERROR_INVALID_PARAMETER:
      return Fail(io, "The parameter is incorrect.");
    case ERROR_SHARING_VIOLATION:
      return Fail(io, "The process cannot access the file because it is being used by another process.");
    case ERROR_HANDLE_DISK_FULL:
      return Fail(io, "The disk is full.");
    case ERROR_NOT_ENOUGH_MEMORY:
      return Fail(io, "Not enough memory resources are available to process this command.");
    case ERROR_CANTOPEN:
      return Fail(io, "The configuration registry key could not be opened.");
    case ERROR_CANTWRITE:
      return Fail(io, "The configuration registry key could not be written.");
    case platform::ERROR_KEY_DELETED:
      return Fail(io, "Illegal operation attempted on a registry key that has been marked for deletion.");
    default:
      return Fail(io, "Error accessing the registry.");
  }
}

int Succeed(Io& io) {
  io.out << kSuccess << "\n";
  return 0;
}

bool ParseKeyArgument(std::string_view text, std::string& path) {
  const std::size_t slash = text.find('\\');
  const std::string_view root = text.substr(0, slash);
  if (!EqualsNoCase(root, kRootLong) && !EqualsNoCase(root, kRootShort)) return false;
  path.clear();
  if (slash == std::string_view::npos) return true;
  std::string_view rest = text.substr(slash + 1);
  while (!rest.empty()) {
    const std::size_t next = rest.find('\\');
    const std::string_view part = rest.substr(0, next);
    if (!part.empty()) {
      if (!path.empty()) path.push_back('\\');
      path += part;
    }
    if (next == std::string_view::npos) break;
    rest.remove_prefix(next + 1);
  }
  return true;
}

std::string DisplayPath(std::string_view path) {
  std::string out(kRootLong);
  if (!path.empty()) {
    out.push_back('\\');
    out += path;
  }
  return out;
}

bool Confirm(Io& io, std::string_view question) {
  std::string answer;
  for (;;) {
    io.out << question << std::flush;
    if (!std::getline(io.in, answer)) {
      io.out << "\n";
      return false;
    }
    const std::string_view word = Trim(answer);
    if (!word.empty() && (word.front() == 'y' || word.front() == 'Y')) return true;
    if (!word.empty() && (word.front() == 'n' || word.front() == 'N')) return false;
  }
}

std::string TypeName(DWORD type) {
  static constexpr const char* kNames[] = {
      "REG_NONE",          "REG_SZ",         "REG_EXPAND_SZ",
      "REG_BINARY",        "REG_DWORD",      "REG_DWORD_BIG_ENDIAN",
      "REG_LINK",          "REG_MULTI_SZ",   "REG_RESOURCE_LIST",
      "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
  return type < std::size(kNames) ? kNames[type] : "REG_UNKNOWN";
}

std::string FormatData(DWORD type, const std::vector<std::uint8_t>& data) {
  const std::string_view raw(reinterpret_cast<const char*>(data.data()), data.size());
  constexpr DWORD kMultiSz = 7;
  constexpr DWORD kQword = 11;
  if (type == platform::REG_SZ || type == platform::REG_EXPAND_SZ) {
    return std::string(raw.substr(0, raw.find('\0')));
  }
  if (type == kMultiSz) {
    std::string shown;
    std::string_view rest = raw;
    while (!rest.empty() && rest.front() != '\0') {
      const std::size_t end = rest.find('\0');
      if (!shown.empty()) shown += "\\0";
      shown += rest.substr(0, end);
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
    }
    return shown;
  }
  if ((type == platform::REG_DWORD && data.size() == 4) || (type == kQword && data.size() == 8)) {
    unsigned long long number = 0;
    for (std::size_t i = data.size(); i-- > 0;) number = (number << 8) | data[i];
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", number);
    return text;
  }
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(data.size() * 2);
  for (const std::uint8_t b : data) {
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 0x0F]);
  }
  return hex;
}

std::string ValueLine(std::string_view name, DWORD type, const std::vector<std::uint8_t>& data) {
  std::string line = "    ";
  line += name.empty() ? std::string_view("(Default)") : name;
  line += "    " + TypeName(type) + "    " + FormatData(type, data);
  return line;
}

}  // namespace detail

int RunRegCommand(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                  std::ostream& err) {
  detail::Io io{in, out, err};
  if (args.empty()) return detail::FailWithUsage(io, detail::kInvalidSyntax, "");
  if (args[0] == "/?" || args[0] == "-?") {
    out << detail::kGeneralUsage;
    return 0;
  }
  const std::string name = detail::Upper(args[0]);
  for (const detail::Operation& op : detail::Operations()) {
    if (op.name != name) continue;
    for (std::size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "/?" || args[i] == "-?") {
        out << op.usage;
        return 0;
      }
    }
    detail::Options options;
    options.operation = name;
    if (!detail::ParseOptions(op, args, options)) {
      return detail::FailWithUsage(io, detail::kInvalidSyntax, name);
    }
    return op.run(options, io);
  }
  return detail::FailWithUsage(io, detail::kInvalidSyntax, "");
}

}  // namespace quillreg
