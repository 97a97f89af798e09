#include "admin/service_control.h"

#include <utility>

#include "platform/paths.h"
#include "platform/service_manager.h"
#include "platform/shell.h"
#include "platform/sync.h"

namespace admin {

ServiceManagerAccess ServiceManagerAccess::System() {
  ServiceManagerAccess access;
  access.installed = [] { return platform::scm::IsInstalled(kServiceName); };
  access.query_state = []() -> std::optional<DWORD> {
    if (!platform::scm::IsInstalled(kServiceName)) return std::nullopt;
    platform::ServiceStatus status;
    if (!platform::scm::QueryServiceStatus(kServiceName, status)) return std::nullopt;
    return status.current_state;
  };
  access.program_path = []() {
    std::string path;
    if (!platform::scm::QueryImagePath(kServiceName, path)) return std::string();
    return path;
  };
  access.run_program = [](const std::string& program, const std::string& parameters) {
    platform::ShellRunProgram(program, parameters);
  };
  access.run_program_and_wait = [](const std::string& program, const std::string& parameters) {
    return platform::RunProgramAndWait(program, parameters);
  };
  access.process_id = []() -> std::optional<DWORD> {
    DWORD pid = 0;
    if (!platform::scm::QueryServiceProcessId(kServiceName, pid)) return std::nullopt;
    return pid;
  };
  return access;
}

const char* ServiceStateText(DWORD state) {
  switch (state) {
    case platform::SERVICE_STOPPED: return "Stopped";
    case platform::SERVICE_START_PENDING: return "Starting";
    case platform::SERVICE_STOP_PENDING: return "Stopping";
    case platform::SERVICE_RUNNING: return "Running";
    case platform::SERVICE_CONTINUE_PENDING: return "Continuing";
    case platform::SERVICE_PAUSE_PENDING: return "Pausing";
    case platform::SERVICE_PAUSED: return "Paused";
    default: return "Unknown";
  }
}

int ServiceButtonState(DWORD state) {
  if (state == platform::SERVICE_STOPPED) return kServiceStopped;
  if (state == platform::SERVICE_RUNNING) return kServiceRunning;
  return kServiceBetween;
}

void SignalReloadEvent() { platform::NamedEvent::Signal(kReloadEventName); }

CServiceControl::CServiceControl(ServiceManagerAccess access) : m_access(std::move(access)) {}

std::optional<CServiceControl::Poll> CServiceControl::UpdateServiceStatus() {
  if (!m_access.installed || !m_access.installed()) return Poll{kServiceNotInstalledText, ServiceButtons{}};
  if (!m_access.query_state) return std::nullopt;
  const std::optional<DWORD> state = m_access.query_state();
  if (!state) return std::nullopt;
  const int button_state = ServiceButtonState(*state);
  Poll poll;
  poll.text = ServiceStateText(*state);
  poll.buttons = EnableServiceButtons(button_state);
  if (button_state == kServiceStopped && m_bRestartPending) {
    m_bRestartPending = false;
    RequestServiceStart();
  }
  return poll;
}

ServiceButtons CServiceControl::EnableServiceButtons(int state) const {
  ServiceButtons buttons;
  buttons.start = state == kServiceStopped;
  buttons.stop = state == kServiceRunning;
  buttons.restart = state == kServiceRunning && !m_bRestartPending;
  return buttons;
}

std::string CServiceControl::InstalledProgram() const {
  if (!m_access.installed || !m_access.installed() || !m_access.program_path) return std::string();
  return m_access.program_path();
}

void CServiceControl::RunServiceProgram(const char* parameters) {
  const std::string program = InstalledProgram();
  if (program.empty() || !m_access.run_program) return;
  m_access.run_program(program, parameters);
}

namespace {

// The exit code by which the service program reports that the service
// reached the state asked for.
constexpr int kServiceProgramSucceeded = 1;

}  // namespace

bool CServiceControl::RunServiceProgramAndWait(const char* parameters) {
  const std::string program = InstalledProgram();
  if (program.empty() || !m_access.run_program_and_wait) return false;
  return m_access.run_program_and_wait(program, parameters) == kServiceProgramSucceeded;
}

bool CServiceControl::StartAndWait() {
  m_bRestartPending = false;
  return RunServiceProgramAndWait("-s");
}

bool CServiceControl::StopAndWait() { return RunServiceProgramAndWait("-e"); }

void CServiceControl::RequestServiceStart() {
  m_bRestartPending = false;
  RunServiceProgram("-s");
}

void CServiceControl::RequestServiceStop() { RunServiceProgram("-e"); }

void CServiceControl::RequestServiceRestart() {
  RequestServiceStop();
  m_bRestartPending = true;
}

bool CServiceControl::GetServiceProgramFolder(std::string& folder) const {
  if (!m_access.installed || !m_access.installed()) return false;
  const std::string path = m_access.program_path ? m_access.program_path() : std::string();
  // The service program may be named by a Windows or a native path.
  const std::size_t separator = path.find_last_of("\\/");
  if (separator != std::string::npos) folder = path.substr(0, separator + 1);
  return true;
}

std::optional<std::string> LogFileToView(const std::string& log_path, const CServiceControl& service) {
  std::string folder = log_path;
  if (folder.empty() && !service.GetServiceProgramFolder(folder)) return std::nullopt;
  return platform::StripTrailingSeparators(folder) + "\\mailtrace.log";
}

std::optional<std::string> ShellErrorText(int result) {
  if (result > 32) return std::nullopt;
  if (result == 0) return std::string("Systeem is out of Memory");
  if (result == 2) return std::string("'NOTEPAD.EXE' is not found !");
  return std::string("Problem with executing of NOTEPAD.EXE");
}

}  // namespace admin
