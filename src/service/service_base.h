// CServiceBase turns the program into a service that can also run in a
// console: it holds the service's name and status, talks to the service
// manager (install, remove, start, stop, status, control requests) and maps
// the command line onto these operations. CMailServer derives from it and
// supplies RunServer and RequestStop.
#pragma once

#include <string>

#include "platform/service_manager.h"

// The exit code of a console run that could not serve; 1 is a run that
// ended with a stop.
inline constexpr int kExitCannotServe = 2;

class CServiceBase {
 public:
  CServiceBase(const char* service_name, const char* display_name);
  virtual ~CServiceBase();
  CServiceBase(const CServiceBase&) = delete;
  CServiceBase& operator=(const CServiceBase&) = delete;

  virtual void RunServer();
  virtual void RequestStop();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnShutdown();
  // SIGHUP, the signal by which a service manager asks for the
  // configuration to be read again (in a console and under the dispatcher).
  virtual void OnReload();
  virtual int RunDispatcher();
  virtual int InstallService();
  virtual int RemoveService();
  virtual int StartInstalledService();
  virtual int StopInstalledService();
  // Scans the arguments after the program path (argv[1..]) for the first
  // known option and runs it; returns the process exit code.
  virtual int DispatchCommandLine(int argc, char** argv);
  virtual int RunInConsole();

  bool IsInstalled();
  bool ReportStatus(DWORD state, DWORD wait_hint);
  const char* DisplayName() const { return m_szDisplayName; }
  DWORD CurrentState() const;

  // The wrapper's event-report hook; records nothing.
  virtual void LogServiceEvent(const std::string& text);

  static CServiceBase* Instance();

 protected:
  const char* m_szServiceName;
  const char* m_szDisplayName;
  platform::ServiceStatus m_Status;
  bool m_bStatusHandle = false;  // the control handler is registered
  // The server could not serve and said so (only where a service manager
  // waits for it to be ready): the console run then ends with
  // kExitCannotServe instead of the run's usual 1.
  bool m_bCannotServe = false;

 private:
  static void ServiceMain();
  static void ControlHandler(DWORD control);
};

// Returns a pointer to the character after the first character of `text`
// that is one of `markers`, or null when there is none.
const char* FindOptionLetter(const char* text, const char* markers);
