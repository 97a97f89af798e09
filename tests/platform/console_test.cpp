// Console events from signals, passwords typed without echo, GUID texts and
// the shell's result codes.
#include "platform/console.h"
#include "platform/guid.h"
#include "platform/shell.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace platform;

namespace {

TEST(NewGuidText, IsAnUpperCaseVersion4GuidInBraces) {
  const std::regex form(
      R"(\{[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\})");
  std::set<std::string> seen;
  constexpr int kCount = 2000;
  for (int i = 0; i < kCount; ++i) {
    const std::string guid = NewGuidText();
    ASSERT_TRUE(std::regex_match(guid, form)) << guid;
    seen.insert(guid);
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kCount)) << "GUIDs repeat";
}

TEST(ConsoleControlHandler, SignalsArriveAsConsoleEventsOnAnotherThread) {
  std::mutex lock;
  std::condition_variable arrived;
  std::vector<DWORD> events;
  std::thread::id handler_thread;
  SetConsoleControlHandler([&](DWORD event) {
    std::lock_guard<std::mutex> guard(lock);
    events.push_back(event);
    handler_thread = std::this_thread::get_id();
    arrived.notify_all();
    return true;  // handled: the process goes on
  });

  struct Case {
    const char* label;
    int sig;
    DWORD event;
  };
  const Case cases[] = {
      {"SIGINT is Ctrl+C", SIGINT, CTRL_C_EVENT},
      {"SIGQUIT is Ctrl+Break", SIGQUIT, CTRL_BREAK_EVENT},
      {"SIGHUP closes the console", SIGHUP, CTRL_CLOSE_EVENT},
      {"SIGTERM counts as Ctrl+C", SIGTERM, CTRL_C_EVENT},
  };
  for (const Case& c : cases) {
    std::unique_lock<std::mutex> guard(lock);
    events.clear();
    guard.unlock();
    ASSERT_EQ(::raise(c.sig), 0) << c.label;
    guard.lock();
    ASSERT_TRUE(arrived.wait_for(guard, std::chrono::seconds(5), [&] { return !events.empty(); }))
        << c.label;
    EXPECT_EQ(events.front(), c.event) << c.label;
    EXPECT_NE(handler_thread, std::this_thread::get_id()) << c.label;
  }
  SetConsoleControlHandler(nullptr);
}

// Runs `body` with the environment variable set (or removed, for null) and
// restores it afterwards.
void WithVariable(const char* name, const char* value, const std::function<void()>& body) {
  const char* old = std::getenv(name);
  const std::string saved = old ? old : "";
  if (value)
    ::setenv(name, value, 1);
  else
    ::unsetenv(name);
  body();
  if (old)
    ::setenv(name, saved.c_str(), 1);
  else
    ::unsetenv(name);
}

// Standard input on the slave side of a pseudo terminal: what is typed on
// the master side is read, and the terminal shows nothing but the line end.
TEST(SecretLine, IsReadFromTheTerminalWithoutEcho) {
  const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  const int saved_stdin = ::dup(STDIN_FILENO);
  ASSERT_EQ(::dup2(slave, STDIN_FILENO), STDIN_FILENO);

  EXPECT_TRUE(StandardInputIsTerminal());
  // Typed once the prompt is up (echo off): what was typed ahead is dropped.
  std::thread typist([slave, master] {
    termios mode {};
    while (::tcgetattr(slave, &mode) == 0 && (mode.c_lflag & ECHO) != 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // Enter sends CR; the terminal makes it LF.
    if (::write(master, "s3cret pass\r", 12) != 12) ADD_FAILURE() << "typing failed";
  });
  std::string line;
  EXPECT_TRUE(ReadSecretLine("", line));
  typist.join();
  EXPECT_EQ(line, "s3cret pass");
  termios after {};
  ASSERT_EQ(::tcgetattr(STDIN_FILENO, &after), 0);
  EXPECT_NE(after.c_lflag & ECHO, 0u) << "echo is back on";
  ::fcntl(master, F_SETFL, O_NONBLOCK);
  char shown[64] = {};
  const ssize_t count = ::read(master, shown, sizeof shown);
  EXPECT_EQ(std::string(shown, count > 0 ? static_cast<std::size_t>(count) : 0), "\r\n") << "only the line end";

  ::close(slave);
  ::close(master);  // the terminal is gone: the input ends before a line end
  EXPECT_FALSE(ReadSecretLine("", line));
  ASSERT_EQ(::dup2(saved_stdin, STDIN_FILENO), STDIN_FILENO);
  ::close(saved_stdin);
}

TEST(Shell, ResultsFollowWindows) {
  EXPECT_GT(ShellRunProgram("/bin/true", "-x \"two words\""), 32) << "started";
  EXPECT_EQ(ShellRunProgram("/no/such/program", ""), 2) << "not found";
  EXPECT_EQ(ShellRunProgram("no-such-program-in-path", "-s"), 2) << "not in PATH";

  // Waited for: the exit code, with the parameters split as above.
  EXPECT_EQ(RunProgramAndWait("/bin/sh", "-c \"exit 3\""), 3);
  EXPECT_EQ(RunProgramAndWait("sh", "-c \"echo to the null device\""), 0);
  EXPECT_EQ(RunProgramAndWait("/bin/sh", "-c \"kill -9 $$\""), -1) << "ended by a signal";
  EXPECT_EQ(RunProgramAndWait("/no/such/program", ""), -1);

  // Without a desktop, an editor or a terminal there is no handler.
  WithVariable("DISPLAY", nullptr, [] {
    WithVariable("WAYLAND_DISPLAY", nullptr, [] {
      WithVariable("VISUAL", nullptr, [] {
        WithVariable("EDITOR", nullptr, [] {
          EXPECT_EQ(ShellOpenFile("NOTEPAD.EXE", "c:\\Logs\\mailtrace.log"), 2);
        });
      });
    });
  });
}

}  // namespace
