// quillctl's list and settings commands: a run of commands, with the exit
// code each must give, and then what the list shows; refusals store nothing.
#include <string>
#include <vector>

#include "ctl_test_support.h"
#include "quillctl/ctl_cli.h"

namespace quillctl {
namespace {

using Words = std::vector<std::string>;

struct Step {
  Words args;
  int code;
};

class ListCommandTest : public CtlTest {
 protected:
  struct Case {
    const char* label;
    std::vector<Step> steps;
    Words show;  // the command whose output is compared
    const char* shown;
  };
  void RunCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
      FreshMachine();
      for (const Step& step : c.steps) {
        const CtlResult result = Ctl(step.args);
        EXPECT_EQ(result.code, step.code) << c.label << ": " << testing::PrintToString(step.args) << " " << result.err;
        EXPECT_EQ(ReloadSignalled(), step.code == kExitOk) << c.label << ": " << testing::PrintToString(step.args);
      }
      const CtlResult shown = Ctl(c.show);
      EXPECT_EQ(shown.code, kExitOk) << c.label;
      EXPECT_EQ(shown.out, c.shown) << c.label;
    }
  }
};

TEST_F(ListCommandTest, ListsFollowTheAppletsRules) {
  RunCases({
      {"domains, a duplicate in other case",
       {{{"domain", "add", "example.test"}, kExitOk},
        {{"domain", "add", "EXAMPLE.TEST"}, kExitFailed},
        {{"domain", "add", "other.test"}, kExitOk},
        {{"domain", "add", ""}, kExitFailed},
        {{"domain", "remove", "Example.Test"}, kExitOk},
        {{"domain", "remove", "none.test"}, kExitFailed}},
       {"domain", "list"},
       "other.test\n"},
      {"forward rules in order, moved",
       {{{"forward", "add", "*@old.test", "*@new.test"}, kExitOk},
        {{"forward", "add", "boss@old.test", "chief@new.test"}, kExitOk},
        {{"forward", "add", "a|b", "c"}, kExitFailed},
        {{"forward", "add", "*@OLD.test", "*@NEW.test"}, kExitFailed},
        {{"forward", "move", "boss@old.test", "chief@new.test", "1"}, kExitOk},
        {{"forward", "move", "boss@old.test", "chief@new.test", "3"}, kExitFailed},
        {{"forward", "move", "x", "y", "1"}, kExitFailed}},
       {"forward", "list"},
       "#  FROM           TO\n1  boss@old.test  chief@new.test\n2  *@old.test     *@new.test\n"},
      {"forward rule removed by both texts",
       {{{"forward", "add", "a@x", "b@y"}, kExitOk},
        {{"forward", "add", "a@x", "c@y"}, kExitOk},
        {{"forward", "remove", "a@x", "b@y"}, kExitOk}},
       {"forward", "list"},
       "#  FROM  TO\n1  a@x   c@y\n"},
      {"blocked senders",
       {{{"block", "add", "*@spam.test"}, kExitOk},
        {{"block", "add", "*@SPAM.test"}, kExitFailed},
        {{"block", "remove", "nobody@x"}, kExitFailed}},
       {"block", "list"},
       "*@spam.test\n"},
      {"pre-defined mail servers",
       {{{"relay", "record", "add", "a.test", "127.0.0.2"}, kExitOk},
        {{"relay", "record", "add", "a.test", "127.0.0.3"}, kExitOk},
        {{"relay", "record", "add", "*", "mx|1"}, kExitFailed},
        {{"relay", "record", "remove", "a.test", "127.0.0.2"}, kExitOk}},
       {"relay", "record", "list"},
       "DOMAIN  SERVER\na.test  127.0.0.3\n"},
      {"IP filter entries and mode",
       {{{"ipfilter", "add", "10.0.0.1"}, kExitOk},
        {{"ipfilter", "add", "10.0.0.1", "10.0.0.1"}, kExitFailed},
        {{"ipfilter", "add", "10.0.0.1", "10.0.0.9"}, kExitOk},
        {{"ipfilter", "add", "192.168.*.*"}, kExitOk},
        {{"ipfilter", "add", "10.0.0.9", "10.0.0.1"}, kExitFailed},
        {{"ipfilter", "add", "300.1.1.1"}, kExitFailed},
        {{"ipfilter", "remove", "10.0.0.1"}, kExitOk},
        {{"ipfilter", "mode", "only"}, kExitOk},
        {{"ipfilter", "mode", "sometimes"}, kExitFailed}},
       {"ipfilter", "show"},
       "Mode: 2 (only)\nSTART        END\n10.0.0.1     10.0.0.9\n192.168.*.*  192.168.*.*\n"},
  });
}

TEST_F(ListCommandTest, SettingsAreTypedAndRangeChecked) {
  RunCases({
      {"numbers within their range",
       {{{"set", "smtpport", "2525"}, kExitOk},
        {{"set", "SmtpPort", "70000"}, kExitFailed},
        {{"set", "LogLevel", "x"}, kExitFailed},
        {{"set", "NoSuchValue", "1"}, kExitFailed},
        {{"set", "Users", "1"}, kExitFailed}},
       {"get", "SmtpPort"},
       "2525\n"},
      {"texts as given",
       {{{"set", "Settings\\ServerID", "Mail at example.test"}, kExitOk}, {{"set", "ServerID", "a\nb"}, kExitFailed}},
       {"get", "serverid"},
       "Mail at example.test\n"},
      {"relay settings only through relay set",
       {{{"relay", "set", "RelayTimeout", "5"}, kExitOk},
        {{"relay", "set", "Port", "5"}, kExitFailed},
        {{"relay", "set", "relaytimeout", "-1"}, kExitFailed}},
       {"get", "RelayTimeout"},
       "5\n"},
  });
}

}  // namespace
}  // namespace quillctl
