// quillctl's command line: which command, operands and options a line
// gives, which lines are usage errors (exit code 2, nothing done), and the
// help texts made from the command table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctl_test_support.h"
#include "quillctl/ctl_cli.h"

namespace quillctl {
namespace {

using Words = std::vector<std::string>;

TEST(ParseArgumentsTest, LinesGiveTheirCommandOperandsAndOptions) {
  struct Case {
    Words args;
    const char* command;
    Words operands;
    unsigned options;
  };
  const Case cases[] = {
      {{"status"}, "status", {}, 0},
      {{"account", "add", "bob", "--password-stdin", "--full-name", "Bob B"},
       "account add",
       {"bob"},
       kOptPasswordStdin | kOptFullName},
      {{"--no-reload", "account", "remove", "bob"}, "account remove", {"bob"}, kOptNoReload},
      {{"account", "list", "--json"}, "account list", {}, kOptJson},
      {{"relay", "record", "add", "*", "127.0.0.2"}, "relay record add", {"*", "127.0.0.2"}, 0},
      {{"relay", "set", "RelayTimeout", "5"}, "relay set", {"RelayTimeout", "5"}, 0},
      {{"set", "Timeout", "-5"}, "set", {"Timeout", "-5"}, 0},
      {{"block", "add", "--", "--odd@sender"}, "block add", {"--odd@sender"}, 0},
      {{"ipfilter", "add", "10.0.0.1"}, "ipfilter add", {"10.0.0.1"}, 0},
      {{"log", "-fn", "5"}, "log", {}, kOptFollow | kOptLines},
      {{"log", "--lines=3"}, "log", {}, kOptLines},
      {{"test-dns", "a.test", "--server=127.0.0.1:5353"}, "test-dns", {"a.test"}, kOptServer},
  };
  for (const Case& c : cases) {
    const ParsedArguments parsed = ParseArguments(c.args);
    const std::string line = testing::PrintToString(c.args);
    ASSERT_EQ(parsed.error, "") << line;
    ASSERT_NE(parsed.command, nullptr) << line;
    EXPECT_EQ(std::string(parsed.command->name), c.command) << line;
    EXPECT_EQ(parsed.operands, c.operands) << line;
    EXPECT_EQ(parsed.options, c.options) << line;
  }
  EXPECT_EQ(ParseArguments({"account", "add", "bob", "--full-name=Bob B"}).full_name, "Bob B");
  EXPECT_EQ(ParseArguments({"log", "-n5"}).lines, 5);
  EXPECT_EQ(ParseArguments({"log"}).lines, kDefaultLogLines);
  EXPECT_EQ(ParseArguments({"test-dns", "a.test", "--server", "127.0.0.9"}).server, "127.0.0.9");
}

TEST(ParseArgumentsTest, UsageErrorsNameWhatIsWrong) {
  struct Case {
    Words args;
    const char* error;
  };
  const Case cases[] = {
      {{}, "no command given"},
      {{"acount", "list"}, "unknown command 'acount'"},
      {{"account"}, "'account' needs one of its commands"},
      {{"account", "delete", "bob"}, "'account' has no command 'delete'"},
      {{"relay", "record"}, "'relay record' needs one of its commands"},
      {{"account", "add"}, "'account add' needs USER"},
      {{"account", "add", "bob", "extra"}, "too many operands for 'account add'"},
      {{"ipfilter", "add", "1.2.3.4", "1.2.3.5", "1.2.3.6"}, "too many operands for 'ipfilter add'"},
      {{"account", "add", "bob", "--password", "secret"}, "unknown option --password"},
      {{"account", "list", "--full-name", "x"}, "option --full-name does not go with 'account list'"},
      {{"domain", "add", "a.test", "--json"}, "option --json does not go with 'domain add'"},
      {{"log", "-x"}, "unknown option -x"},
      {{"log", "-n"}, "option --lines needs a value (N)"},
      {{"log", "-n", "ten"}, "option --lines takes a number of lines, not 'ten'"},
      {{"status", "--json=yes"}, "option --json takes no value"},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseArguments(c.args).error, c.error) << testing::PrintToString(c.args);
}

class RunTest : public CtlTest {};

TEST_F(RunTest, UsageErrorsExitWith2AndChangeNothing) {
  const CtlResult result = Ctl({"domain", "add"});
  EXPECT_EQ(result.code, kExitUsage);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "quillctl: 'domain add' needs DOMAIN\nTry 'quillctl domain add --help'.\n");
  EXPECT_EQ(Ctl({"domain", "list"}).out, "");
  EXPECT_FALSE(ReloadSignalled());
  EXPECT_EQ(Ctl({"nothing"}).code, kExitUsage);
}

TEST_F(RunTest, HelpComesFromTheCommandTable) {
  const CtlResult all = Ctl({"--help"});
  EXPECT_EQ(all.code, kExitOk);
  for (const Command& command : Commands())
    EXPECT_NE(all.out.find(std::string("\n  ") + command.name), std::string::npos) << command.name;

  const CtlResult group = Ctl({"help", "relay"});
  EXPECT_EQ(group.code, kExitOk);
  EXPECT_NE(group.out.find("relay record add DOMAIN SERVER"), std::string::npos) << group.out;
  EXPECT_EQ(group.out.find("account add"), std::string::npos) << group.out;

  const CtlResult one = Ctl({"account", "add", "--help"});
  EXPECT_EQ(one.code, kExitOk);
  EXPECT_EQ(one.out.rfind("Usage: quillctl account add USER [--password-stdin] [--full-name TEXT] [--no-reload]\n\n"
                          "Add an account",
                          0),
            0u)
      << one.out;
  EXPECT_EQ(Ctl({"help", "nothing"}).code, kExitUsage);
}

}  // namespace
}  // namespace quillctl
