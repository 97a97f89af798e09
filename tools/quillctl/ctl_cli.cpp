// The command table, the parser of quillctl's command line, the help texts
// and the run of one command (see ctl_cli.h).
#include "quillctl/ctl_cli.h"

#include <cctype>
#include <charconv>
#include <ostream>
#include <sstream>

#include "admin/service_control.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "quillctl/ctl_commands.h"

namespace quillctl {
namespace {

constexpr unsigned kList = kOptJson;
constexpr unsigned kChange = kOptNoReload;
// The longest command name, in words ("relay record add").
constexpr std::size_t kMaxCommandWords = 3;
constexpr int kAny = -1;  // max_operands: no limit

// In the order the usage lines show them: a command's own options first.
constexpr OptionDef kOptions[] = {
    {kOptPasswordStdin, "password-stdin", 0, nullptr,
     "read the password as one line from standard input instead of the terminal"},
    {kOptFullName, "full-name", 0, "TEXT", "the account's full name"},
    {kOptDeleteMail, "delete-mail", 0, nullptr, "also delete the account's messages and mailbox folder"},
    {kOptFollow, "follow", 'f', nullptr, "keep printing lines as the log grows (Ctrl+C ends)"},
    {kOptLines, "lines", 'n', "N", "print the last N lines (default 10)"},
    {kOptMarkdown, "markdown", 0, nullptr,
     "print the reference of every registry value in Markdown (docs/configuration.md)"},
    {kOptServer, "server", 0, "ADDRESS[:PORT]", "ask this DNS server instead of the DNSServer setting"},
    {kOptJson, "json", 0, nullptr, "print the result as JSON, for scripts"},
    {kOptNoReload, "no-reload", 0, nullptr, "do not signal the running service to reload its configuration"},
};

constexpr Command kCommands[] = {
    {"status", "", 0, 0, kList, "show the service's state, ports, mail folder, queue, bad mail and log", Status},
    {"start", "", 0, 0, 0, "start the installed service and wait until it runs", Start},
    {"stop", "", 0, 0, 0, "stop the installed service and wait until it has stopped", Stop},
    {"restart", "", 0, 0, 0, "stop the installed service, then start it again", Restart},
    {"reload", "", 0, 0, 0, "signal the running service to load its configuration again", Reload},

    {"account list", "", 0, 0, kList, "list the accounts (user name and full name)", AccountList},
    {"account add", "USER", 1, 1, kChange | kOptPasswordStdin | kOptFullName,
     "add an account and make its mailbox folder; the password is asked for", AccountAdd},
    {"account remove", "USER", 1, 1, kChange | kOptDeleteMail, "remove an account (admin cannot be removed)",
     AccountRemove},
    {"account passwd", "USER", 1, 1, kChange | kOptPasswordStdin, "give an account a new password", AccountPasswd},
    {"account rename", "USER NEW-USER", 2, 2, kChange, "give an account another user name; its mailbox folder follows",
     AccountRename},

    {"domain list", "", 0, 0, kList, "list the local domains", DomainList},
    {"domain add", "DOMAIN", 1, 1, kChange, "add a local domain", DomainAdd},
    {"domain remove", "DOMAIN", 1, 1, kChange, "remove a local domain", DomainRemove},

    {"forward list", "", 0, 0, kList, "list the forward rules in the order they are tried", ForwardList},
    {"forward add", "FROM TO", 2, 2, kChange, "add a forward rule at the end: mail for FROM goes to TO", ForwardAdd},
    {"forward remove", "FROM TO", 2, 2, kChange, "remove a forward rule", ForwardRemove},
    {"forward move", "FROM TO POSITION", 3, 3, kChange,
     "move a forward rule to a position of the list (1 is tried first)", ForwardMove},

    {"block list", "", 0, 0, kList, "list the blocked senders", BlockList},
    {"block add", "SENDER", 1, 1, kChange, "block a sender (a pattern with * and ?)", BlockAdd},
    {"block remove", "SENDER", 1, 1, kChange, "remove a blocked sender", BlockRemove},

    {"relay show", "", 0, 0, kList, "show the relay's settings", RelayShow},
    {"relay set", "NAME VALUE", 2, 2, kChange, "change one of the relay's settings", RelaySet},
    {"relay record list", "", 0, 0, kList, "list the pre-defined mail servers", RelayRecordList},
    {"relay record add", "DOMAIN SERVER", 2, 2, kChange,
     "send mail for DOMAIN (* for every other domain) to SERVER instead of its MX", RelayRecordAdd},
    {"relay record remove", "DOMAIN SERVER", 2, 2, kChange, "remove a pre-defined mail server", RelayRecordRemove},

    {"ipfilter show", "", 0, 0, kList, "show the IP filter's mode and addresses", IpFilterShow},
    {"ipfilter mode", "off|refuse|only", 1, 1, kChange,
     "no filter, refuse the listed addresses, or accept only the listed addresses", IpFilterMode},
    {"ipfilter add", "START [END]", 1, 2, kChange, "list an address, a pattern (192.168.*.*) or a range", IpFilterAdd},
    {"ipfilter remove", "START [END]", 1, 2, kChange, "remove a listed address or range", IpFilterRemove},

    {"get", "NAME", 1, 1, kList, "show one setting's value", Get},
    {"set", "NAME VALUE", 2, 2, kChange, "change one setting (a number within its range, or a text)", Set},
    {"settings", "", 0, 0, kList | kOptMarkdown, "list every setting with its value and default", SettingsList},

    {"queue list", "", 0, 0, kList, "list the messages waiting for the relay", QueueList},
    {"queue show", "ID", 1, 1, kList, "show a queued message with its envelope", QueueShow},
    {"queue delete", "ID", 1, 1, 0, "delete a queued message", QueueDelete},
    {"queue retry", "ID", 1, 1, kChange, "make the recipients of a queued message that wait for a retry due now",
     QueueRetry},
    {"badmail list", "", 0, 0, kList, "list the messages the relay gave up on", BadMailList},
    {"badmail show", "ID", 1, 1, kList, "show a message of the bad-mail folder", BadMailShow},
    {"badmail retry", "ID", 1, 1, 0, "move a message of the bad-mail folder back into the queue", BadMailRetry},
    {"badmail delete", "ID", 1, 1, 0, "delete a message of the bad-mail folder", BadMailDelete},

    {"log", "", 0, 0, kOptFollow | kOptLines, "print the end of the trace log", Log},
    {"test-dns", "DOMAIN", 1, 1, kList | kOptServer, "look up a domain's MX records as the relay would", TestDns},
    {"check", "", 0, 0, kList, "check the stored configuration for what the service would ignore or refuse", Check},
};

const OptionDef* FindLongOption(std::string_view name) {
  for (const OptionDef& def : kOptions)
    if (name == def.long_name) return &def;
  return nullptr;
}

const OptionDef* FindShortOption(char name) {
  for (const OptionDef& def : kOptions)
    if (def.short_name != 0 && def.short_name == name) return &def;
  return nullptr;
}

const Command* FindCommand(std::string_view name) {
  for (const Command& command : kCommands)
    if (name == command.name) return &command;
  return nullptr;
}

// True when some command's name begins with these words.
bool IsGroup(std::string_view words) {
  const std::string prefix = std::string(words) + " ";
  for (const Command& command : kCommands)
    if (std::string_view(command.name).starts_with(prefix)) return true;
  return false;
}

bool IsNegativeNumber(std::string_view word) {
  return word.size() > 1 && word[0] == '-' && word.find_first_not_of("0123456789", 1) == std::string_view::npos;
}

std::string Join(const std::vector<std::string>& words, std::size_t count) {
  std::string joined;
  for (std::size_t i = 0; i < count && i < words.size(); ++i) {
    if (i > 0) joined += ' ';
    joined += words[i];
  }
  return joined;
}

// Takes an option's value: the rest of the word, or the next word.
bool TakeValue(const OptionDef& def, std::string_view inline_value, bool has_inline,
               const std::vector<std::string>& args, std::size_t& i, ParsedArguments& parsed) {
  std::string value;
  if (has_inline) {
    value = std::string(inline_value);
  } else if (i + 1 < args.size()) {
    value = args[++i];
  } else {
    parsed.error = std::string("option --") + def.long_name + " needs a value (" + def.value_name + ")";
    return false;
  }
  switch (def.option) {
    case kOptFullName:
      parsed.full_name = value;
      break;
    case kOptServer:
      parsed.server = value;
      break;
    case kOptLines: {
      int lines = -1;
      const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), lines);
      if (error != std::errc() || end != value.data() + value.size() || lines < 0) {
        parsed.error = "option --lines takes a number of lines, not '" + value + "'";
        return false;
      }
      parsed.lines = lines;
      break;
    }
    default:
      break;
  }
  return true;
}

// Takes one option word apart; false with parsed.error on a usage error.
bool TakeOption(const std::vector<std::string>& args, std::size_t& i, ParsedArguments& parsed) {
  const std::string& word = args[i];
  if (word == "--help" || word == "-h") {
    parsed.help = true;
    return true;
  }
  if (word.starts_with("--")) {
    const std::size_t equals = word.find('=');
    const std::string name = word.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
    const OptionDef* def = FindLongOption(name);
    if (def == nullptr) {
      parsed.error = "unknown option --" + name;
      return false;
    }
    parsed.options |= def->option;
    if (def->value_name == nullptr) {
      if (equals == std::string::npos) return true;
      parsed.error = "option --" + name + " takes no value";
      return false;
    }
    const std::string_view rest =
        equals == std::string::npos ? std::string_view() : std::string_view(word).substr(equals + 1);
    return TakeValue(*def, rest, equals != std::string::npos, args, i, parsed);
  }
  // Short options, several in one word ("-fn5"); one that takes a value
  // takes the rest of the word or the next word.
  for (std::size_t k = 1; k < word.size(); ++k) {
    const OptionDef* def = FindShortOption(word[k]);
    if (def == nullptr) {
      parsed.error = std::string("unknown option -") + word[k];
      return false;
    }
    parsed.options |= def->option;
    if (def->value_name != nullptr) {
      const std::string_view rest = std::string_view(word).substr(k + 1);
      return TakeValue(*def, rest, !rest.empty(), args, i, parsed);
    }
  }
  return true;
}

std::string OptionUsage(const OptionDef& def) {
  std::string usage = std::string("--") + def.long_name;
  if (def.value_name != nullptr) usage += std::string(" ") + def.value_name;
  return usage;
}

void AppendCommandLines(std::ostringstream& text, std::string_view group) {
  for (const Command& command : kCommands) {
    const std::string_view name = command.name;
    if (!group.empty() && !name.starts_with(std::string(group) + " ")) continue;
    std::string left = std::string(name);
    if (*command.operands != '\0') left += std::string(" ") + command.operands;
    text << "  " << left;
    constexpr std::size_t kColumn = 36;
    text << std::string(left.size() < kColumn ? kColumn - left.size() : 1, ' ') << command.summary << "\n";
  }
}

}  // namespace

std::span<const OptionDef> Options() { return kOptions; }

std::string UsageLine(const Command& command) {
  std::string usage = std::string("quillctl ") + command.name;
  if (*command.operands != '\0') usage += std::string(" ") + command.operands;
  for (const OptionDef& def : kOptions)
    if (command.options & def.option) usage += " [" + OptionUsage(def) + "]";
  return usage;
}

std::span<const Command> Commands() { return kCommands; }

int Invocation::Fail(const std::string& message) const {
  io.err << "quillctl: " << message << "\n";
  return kExitFailed;
}

ParsedArguments ParseArguments(const std::vector<std::string>& args) {
  ParsedArguments parsed;
  std::vector<std::string> words;
  bool options_ended = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (options_ended || word.size() < 2 || word[0] != '-' || IsNegativeNumber(word)) {
      words.push_back(word);
    } else if (word == "--") {
      options_ended = true;
    } else if (!TakeOption(args, i, parsed)) {
      return parsed;
    }
  }
  if (!words.empty() && words[0] == "help") {
    words.erase(words.begin());
    parsed.help = true;
  }
  std::size_t used = 0;
  for (std::size_t count = std::min(kMaxCommandWords, words.size()); count > 0 && !parsed.command; --count) {
    parsed.command = FindCommand(Join(words, count));
    if (parsed.command) used = count;
  }
  if (parsed.command == nullptr) {
    std::size_t group_words = 0;
    for (std::size_t count = std::min(kMaxCommandWords, words.size()); count > 0 && group_words == 0; --count)
      if (IsGroup(Join(words, count))) group_words = count;
    parsed.topic = Join(words, group_words);
    if (parsed.help && group_words == words.size()) return parsed;
    if (words.empty()) {
      parsed.error = "no command given";
    } else if (group_words > 0) {
      parsed.error = group_words == words.size() ? "'" + parsed.topic + "' needs one of its commands"
                                                 : "'" + parsed.topic + "' has no command '" + words[group_words] + "'";
    } else {
      parsed.error = "unknown command '" + words[0] + "'";
    }
    return parsed;
  }
  parsed.topic = parsed.command->name;
  if (parsed.help) return parsed;
  parsed.operands.assign(words.begin() + static_cast<long>(used), words.end());
  const int count = static_cast<int>(parsed.operands.size());
  const Command& command = *parsed.command;
  if (count < command.min_operands || (command.max_operands != kAny && count > command.max_operands)) {
    parsed.error = count < command.min_operands ? "'" + parsed.topic + "' needs " + command.operands
                                                : "too many operands for '" + parsed.topic + "'";
    return parsed;
  }
  for (const OptionDef& def : kOptions) {
    if ((parsed.options & def.option) && !(command.options & def.option)) {
      parsed.error = "option --" + std::string(def.long_name) + " does not go with '" + parsed.topic + "'";
      return parsed;
    }
  }
  return parsed;
}

std::string HelpText(std::string_view topic) {
  std::ostringstream text;
  if (topic.empty()) {
    text << "Usage: quillctl COMMAND [OPERANDS] [OPTIONS]\n\n"
            "The administration of Kestrune Mail Service: accounts, domains and rules, settings,\n"
            "the service, its queue, its bad mail and its log.\n\nCommands:\n";
    AppendCommandLines(text, "");
    text << "\nEvery command takes --help. Commands that change the configuration signal the\n"
            "running service to reload it, unless --no-reload is given. Exit codes: 0 success,\n"
            "1 refused or failed, 2 usage. The manual page quillctl(8) says more.\n";
    return text.str();
  }
  if (const Command* command = FindCommand(topic)) {
    std::string summary = command->summary;
    summary[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(summary[0])));
    text << "Usage: " << UsageLine(*command) << "\n\n" << summary << ".\n";
    bool any = false;
    for (const OptionDef& def : kOptions) {
      if (!(command->options & def.option)) continue;
      if (!any) text << "\nOptions:\n";
      any = true;
      text << "  " << OptionUsage(def);
      if (def.short_name != 0) text << ", -" << def.short_name;
      text << "\n      " << def.help << "\n";
    }
    return text.str();
  }
  if (!IsGroup(topic)) return std::string();
  text << "Usage: quillctl " << topic << " COMMAND ...\n\nCommands:\n";
  AppendCommandLines(text, topic);
  return text.str();
}

int Run(const std::vector<std::string>& args, Io& io) {
  const ParsedArguments parsed = ParseArguments(args);
  if (!parsed.error.empty()) {
    io.err << "quillctl: " << parsed.error << "\n";
    io.err << "Try 'quillctl " << (parsed.topic.empty() ? "" : parsed.topic + " ") << "--help'.\n";
    return kExitUsage;
  }
  if (parsed.help) {
    io.out << HelpText(parsed.topic);
    return kExitOk;
  }
  Invocation invocation{io, parsed.operands, parsed.options, parsed.full_name, parsed.server, parsed.lines};
  // The hive is 0600 for the service's user: another user would read only
  // defaults and show them as the settings. The reference made from the
  // settings table alone reads nothing.
  if (!invocation.Has(kOptMarkdown) && !platform::HiveIsReadable())
    return invocation.Fail("this user may not read " + platform::StateRoot() +
                           "/registry.db, which holds the settings: run quillctl as root or as the "
                           "service's user (sudo -u quillpost quillctl ...)");
  const int result = parsed.command->run(invocation);
  if (invocation.changed && !invocation.Has(kOptNoReload)) admin::SignalReloadEvent();
  return result;
}

}  // namespace quillctl
