// The view of the installed mail service that the General page polls once a
// second (its state text and which of Start, Stop and Restart may be used)
// and quillctl's status shows; and the start and stop requests, which run
// the installed service program with "-s" or "-e" rather than controlling
// the service directly (the program asks for the rights it needs itself).
// The page does not wait for the program; quillctl does, and reports what
// the program reports.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "common/service_names.h"
#include "platform/win_types.h"

namespace admin {

inline constexpr const char* kServiceNotInstalledText = "Not Installed";

// The service manager as the page uses it; tests put a fake in its place.
struct ServiceManagerAccess {
  // Whether the service is installed (can be opened with read access).
  std::function<bool()> installed;
  // The service's current state (platform::SERVICE_*), or nothing when the
  // service is not installed or cannot be queried.
  std::function<std::optional<DWORD>()> query_state;
  // The service's program path (ImagePath); empty when it cannot be read.
  std::function<std::string()> program_path;
  // Runs a program with parameters through the shell's "open" verb, hidden,
  // without waiting.
  std::function<void(const std::string& program, const std::string& parameters)> run_program;
  // Runs a program with parameters and waits: its exit code, or -1 when it
  // could not be run.
  std::function<int(const std::string& program, const std::string& parameters)> run_program_and_wait;
  // The id of the running service process, or nothing.
  std::function<std::optional<DWORD>()> process_id;

  // The real service manager and shell, for "Kestrune Mail Service".
  static ServiceManagerAccess System();
};

// Button states: 0 stopped, 1 running, -1 in between.
inline constexpr int kServiceStopped = 0;
inline constexpr int kServiceRunning = 1;
inline constexpr int kServiceBetween = -1;

struct ServiceButtons {
  bool start = false;
  bool stop = false;
  bool restart = false;
};

// The text shown for a service state ("Stopped", "Running", ..., "Unknown").
const char* ServiceStateText(DWORD state);
// 0 for stopped, 1 for running, -1 for every other state.
int ServiceButtonState(DWORD state);

class CServiceControl {
 public:
  explicit CServiceControl(ServiceManagerAccess access);

  // One status poll. A service that is not installed reads "Not Installed"
  // with every button disabled; nothing when an installed service cannot be
  // queried (the page then keeps what it shows). A poll that finds the
  // service stopped while a restart is pending starts it again.
  struct Poll {
    std::string text;
    ServiceButtons buttons;
  };
  std::optional<Poll> UpdateServiceStatus();

  void RequestServiceStart();  // clears a pending restart, runs "-s"
  void RequestServiceStop();   // runs "-e"
  // Run "-s" or "-e" and wait for the program: true when it reports that
  // the service reached the running or the stopped state (exit code 1).
  bool StartAndWait();
  bool StopAndWait();
  void RequestServiceRestart();  // stop now, start when seen stopped
  bool RestartPending() const { return m_bRestartPending; }

  // Start only when stopped; Stop only when running; Restart only when
  // running while no restart is pending.
  ServiceButtons EnableServiceButtons(int state) const;

  // The folder of the installed service program, up to and including its
  // last separator; false when the service is not installed.
  bool GetServiceProgramFolder(std::string& folder) const;

 private:
  void RunServiceProgram(const char* parameters);
  bool RunServiceProgramAndWait(const char* parameters);
  // The installed service program's path, or empty.
  std::string InstalledProgram() const;

  ServiceManagerAccess m_access;
  bool m_bRestartPending = false;
};

// Signals the service's reload event (no effect when the service does not
// run): after Apply and OK, and after every change stored at once.
void SignalReloadEvent();

// The trace log file that "View" opens: the log path, else the service
// program's folder, with "\mailtrace.log" appended; nothing when neither is
// known.
std::optional<std::string> LogFileToView(const std::string& log_path, const CServiceControl& service);

// The message for a failed shell "open" of the text editor (caption
// "ShellExecute Error"), or nothing for a result above 32 (success).
std::optional<std::string> ShellErrorText(int result);

inline constexpr const char* kLogEditorProgram = "NOTEPAD.EXE";
inline constexpr const char* kNoServicePathText =
    "Couldn't find Mail Service path\nPlease make sure the service is installed on your system.";
inline constexpr const char* kNoServicePathCaption = "Problem reading log file";
inline constexpr const char* kShellErrorCaption = "ShellExecute Error";

}  // namespace admin
