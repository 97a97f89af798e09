// The service control manager stand-in. The services database is the
// registry (HKLM\SYSTEM\CurrentControlSet\Services\<name>: ImagePath,
// DisplayName, Type 0x10, Start 2, ErrorControl 1, ObjectName "LocalSystem");
// the runtime state of a service lives in run/services/<name>/ (pid, last
// reported status, control channel, output.log). No daemon runs: a service is
// a detached process started with QUILLPOST_SERVICE_NAME=<name> in its
// environment, and a service whose process is gone is reported stopped.
//
// Calls return Win32 results: bool with LastServiceError() (ERROR_...).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/win_types.h"

namespace platform {

constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_AUTO_START = 2;
constexpr DWORD SERVICE_ERROR_NORMAL = 1;

constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_CONTINUE_PENDING = 5;
constexpr DWORD SERVICE_PAUSE_PENDING = 6;
constexpr DWORD SERVICE_PAUSED = 7;

constexpr DWORD SERVICE_ACCEPT_STOP = 1;

constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;

struct ServiceStatus {
  DWORD service_type = SERVICE_WIN32_OWN_PROCESS;
  DWORD current_state = SERVICE_STOPPED;
  DWORD controls_accepted = 0;
  DWORD win32_exit_code = 0;
  DWORD service_exit_code = 0;
  DWORD check_point = 0;
  DWORD wait_hint = 0;
};

LONG LastServiceError();

// --- The manager's side (installers, the applet, the -s/-e options). ---
namespace scm {
// Registers the service in the database; ERROR_SERVICE_EXISTS when it is.
bool CreateService(std::string_view name, std::string_view display_name,
                   std::string_view image_path);
// Removes it from the database (a running process is not touched).
bool DeleteService(std::string_view name);
bool IsInstalled(std::string_view name);
// ImagePath of an installed service (empty string on failure).
bool QueryImagePath(std::string_view name, std::string& image_path);
// Starts ImagePath without options as a detached process (own session,
// streams to run/services/<name>/output.log). ERROR_SERVICE_ALREADY_RUNNING
// when its process lives.
bool StartService(std::string_view name);
// Sends a control to the running process's control channel and returns the
// last status it reported. ERROR_SERVICE_NOT_ACTIVE when it does not run.
bool ControlService(std::string_view name, DWORD control, ServiceStatus& status);
bool QueryServiceStatus(std::string_view name, ServiceStatus& status);
// The id of the running service process (QueryServiceStatusEx's process
// id); false with ERROR_SERVICE_NOT_ACTIVE when none runs.
bool QueryServiceProcessId(std::string_view name, DWORD& process_id);
}  // namespace scm

// --- The service process's side. ---
namespace service_process {
using ServiceMain = std::function<void()>;
using ControlHandler = std::function<void(DWORD control)>;

// StartServiceCtrlDispatcher: fails with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
// unless this process was started by the service manager for `name`.
// Otherwise runs `service_main` on a new thread, serves the control channel on
// the calling thread (running the handler there), and returns when
// service_main has returned.
bool RunDispatcher(std::string_view name, ServiceMain service_main);
// RegisterServiceCtrlHandler: true inside a dispatcher run for `name`.
bool RegisterControlHandler(std::string_view name, ControlHandler handler);
// SetServiceStatus: false (ERROR_INVALID_HANDLE) outside a dispatcher run.
bool SetStatus(const ServiceStatus& status);
}  // namespace service_process

}  // namespace platform
