// quillctl: the administration of the mail service on the command line, over
// the same rules as the applet (src/admin). One table lists every command
// with its operands, the options it takes and its handler; the parser, the
// help texts and the manual page's list of commands all come from it.
//
// Exit codes: 0 success, 1 refused or failed (the reason on the error
// stream), 2 usage (a command or option that does not exist, operands
// missing or left over). Every command that changes the registry signals the
// service to reload, unless --no-reload is given.
#pragma once

#include <functional>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

inline constexpr int kDefaultLogLines = 10;

// What a run reads and writes besides the registry and the files.
struct Io {
  std::ostream& out;
  std::ostream& err;
  std::istream& in;
  // Reads a password typed on the terminal without showing it; false when
  // there is no terminal.
  std::function<bool(const std::string& prompt, std::string& secret)> read_secret;
  // Waits between two looks at a followed log; false ends the following.
  std::function<bool(unsigned ms)> pause;
};

enum Option : unsigned {
  kOptJson = 1u << 0,
  kOptNoReload = 1u << 1,
  kOptPasswordStdin = 1u << 2,
  kOptFullName = 1u << 3,
  kOptDeleteMail = 1u << 4,
  kOptFollow = 1u << 5,
  kOptLines = 1u << 6,
  kOptMarkdown = 1u << 7,
  kOptServer = 1u << 8,
};

struct OptionDef {
  Option option;
  const char* long_name;   // without "--"
  char short_name;         // 0: none
  const char* value_name;  // null: the option takes no value
  const char* help;
};
std::span<const OptionDef> Options();

struct Invocation {
  Io& io;
  std::vector<std::string> operands;
  unsigned options = 0;
  std::string full_name;  // --full-name
  std::string server;     // --server
  int lines = kDefaultLogLines;
  // Set by a handler once it has written to the registry: the run then
  // signals the service to reload (unless --no-reload).
  bool changed = false;

  bool Has(Option option) const { return (options & option) != 0; }
  // Writes "quillctl: <message>" to the error stream; returns kExitFailed.
  int Fail(const std::string& message) const;
};

struct Command {
  const char* name;      // its words: "account add"
  const char* operands;  // as the usage shows them: "USER"
  int min_operands;
  int max_operands;
  unsigned options;  // the Option bits it takes (--help goes with every one)
  const char* summary;
  int (*run)(Invocation& invocation);
};
std::span<const Command> Commands();
// "quillctl account add USER [--password-stdin] ...": the command's words,
// operands and options.
std::string UsageLine(const Command& command);

// The command line taken apart: a command and what goes with it, a request
// for help, or a usage error.
struct ParsedArguments {
  const Command* command = nullptr;
  std::vector<std::string> operands;
  unsigned options = 0;
  std::string full_name;
  std::string server;
  int lines = kDefaultLogLines;
  bool help = false;
  // The words help was asked for ("account", "account add"); empty for all.
  std::string topic;
  std::string error;
};
// `args` are the words after the program name. Options may stand anywhere
// after the command's words; "--" ends them; a negative number is an operand.
ParsedArguments ParseArguments(const std::vector<std::string>& args);

// Help for a topic: every command, the commands of a group, or one command
// with its options. Empty when nothing is called so.
std::string HelpText(std::string_view topic);

int Run(const std::vector<std::string>& args, Io& io);

}  // namespace quillctl
