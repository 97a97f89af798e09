// The service wrapper: install, remove, start and stop the service through the
// service manager, run as the service under its dispatcher or in a console,
// and the command-line scan that chooses among these.
#include "service/service_base.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/console.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/sync.h"

namespace {

CServiceBase* g_pInstance = nullptr;

// Guards the status and the status-handle flag: the dispatcher's thread (the
// control handler) and the service thread (ReportStatus) both touch them.
std::mutex g_StatusLock;

// The console handler is installed once, by RunInConsole; the reload signal
// handler by RunInConsole or RunDispatcher.
bool g_bConsoleHandler = false;
bool g_bReloadHandler = false;

constexpr const char* kOptionMarkers = "-/";
constexpr const char* kEventLogKey = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr DWORD kEventTypesSupported = 7;  // error, warning, information
constexpr DWORD kDefaultWaitHintMs = 3000;
constexpr DWORD kStatusPollMs = 1000;
// A service that never leaves a pending state would keep -s or -e waiting
// for ever; after this long the last known state decides.
constexpr DWORD kMaxPendingWaitMs = 120000;

// The system's message text for the few errors the dispatcher start reports.
std::string SystemMessageText(LONG error) {
  switch (error) {
    case ERROR_FAILED_SERVICE_CONTROLLER_CONNECT:
      return "The service process could not connect to the service controller.\r\n";
    case ERROR_SERVICE_ALREADY_RUNNING:
      return "An instance of the service is already running.\r\n";
    default:
      return "Error " + std::to_string(error) + ".\r\n";
  }
}

// Console mode: the standard streams are already there; like the console the
// wrapper allocates, they are unbuffered so every line shows at once.
void AttachConsoleStreams() {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::setvbuf(stderr, nullptr, _IONBF, 0);
}

void InstallReloadHandler() {
  platform::SetReloadSignalHandler([] {
    if (CServiceBase* service = CServiceBase::Instance()) service->OnReload();
  });
  g_bReloadHandler = true;
}

bool ConsoleControlHandler(DWORD event) {
  switch (event) {
    case platform::CTRL_C_EVENT:
    case platform::CTRL_BREAK_EVENT:
    case platform::CTRL_CLOSE_EVENT:
      if (CServiceBase* service = CServiceBase::Instance()) {
        std::printf("Stopping %s.\n", service->DisplayName());
        std::fflush(stdout);
        service->RequestStop();
      }
      return true;
    default:
      return false;
  }
}

// Polls once a second while the service stays in `pending`; returns the last
// known state.
DWORD WaitWhilePending(const char* name, DWORD pending, DWORD state) {
  for (DWORD waited = 0; waited < kMaxPendingWaitMs; waited += kStatusPollMs) {
    platform::SleepMs(kStatusPollMs);
    platform::ServiceStatus status;
    if (!platform::scm::QueryServiceStatus(name, status)) break;
    state = status.current_state;
    if (state != pending) break;
  }
  return state;
}

}  // namespace

const char* FindOptionLetter(const char* text, const char* markers) {
  // Byte steps are safe in UTF-8: no byte of a multi-byte character is below
  // 0x80, so none is taken for "-" or "/".
  for (const char* p = text; p != nullptr && *p != '\0'; ++p) {
    for (const char* m = markers; *m != '\0'; ++m) {
      if (*p == *m) return p + 1;
    }
  }
  return nullptr;
}

CServiceBase::CServiceBase(const char* service_name, const char* display_name)
    : m_szServiceName(service_name),
      m_szDisplayName(display_name != nullptr ? display_name : service_name) {
  m_Status.service_type = platform::SERVICE_WIN32_OWN_PROCESS;
  m_Status.current_state = platform::SERVICE_STOPPED;
  g_pInstance = this;
}

CServiceBase::~CServiceBase() {
  if (g_bConsoleHandler) {
    platform::SetConsoleControlHandler(nullptr);
    g_bConsoleHandler = false;
  }
  if (g_bReloadHandler) {
    platform::SetReloadSignalHandler(nullptr);
    g_bReloadHandler = false;
  }
  if (g_pInstance == this) g_pInstance = nullptr;
}

CServiceBase* CServiceBase::Instance() { return g_pInstance; }

void CServiceBase::LogServiceEvent(const std::string& /*text*/) {}

void CServiceBase::RunServer() { LogServiceEvent("Service started"); }
void CServiceBase::RequestStop() { LogServiceEvent("Service stopped"); }
void CServiceBase::OnPause() { LogServiceEvent("Service paused"); }
void CServiceBase::OnContinue() { LogServiceEvent("Service continued"); }
void CServiceBase::OnShutdown() { LogServiceEvent("Service shutdown"); }
void CServiceBase::OnReload() {}

DWORD CServiceBase::CurrentState() const {
  std::lock_guard<std::mutex> guard(g_StatusLock);
  return m_Status.current_state;
}

bool CServiceBase::IsInstalled() { return platform::scm::IsInstalled(m_szServiceName); }

bool CServiceBase::ReportStatus(DWORD state, DWORD wait_hint) {
  bool sent = false;
  {
    std::lock_guard<std::mutex> guard(g_StatusLock);
    m_Status.controls_accepted =
        state == platform::SERVICE_START_PENDING ? 0 : platform::SERVICE_ACCEPT_STOP;
    m_Status.current_state = state;
    m_Status.win32_exit_code = 0;
    m_Status.wait_hint = wait_hint;
    sent = m_bStatusHandle && platform::service_process::SetStatus(m_Status);
  }
  if (!sent) {
    LogServiceEvent("SetServiceStatus() failed");
  } else if (state == platform::SERVICE_STOPPED) {
    LogServiceEvent("Service stopped");
  } else if (state == platform::SERVICE_RUNNING) {
    LogServiceEvent("Service started");
  }
  return sent;
}

void CServiceBase::ServiceMain() {
  CServiceBase* service = Instance();
  if (service == nullptr) return;
  if (!platform::service_process::RegisterControlHandler(service->m_szServiceName,
                                                         &CServiceBase::ControlHandler)) {
    service->LogServiceEvent("Handler not installed");
    return;
  }
  {
    std::lock_guard<std::mutex> guard(g_StatusLock);
    service->m_bStatusHandle = true;
  }
  service->ReportStatus(platform::SERVICE_START_PENDING, kDefaultWaitHintMs);
  {
    std::lock_guard<std::mutex> guard(g_StatusLock);
    service->m_Status.win32_exit_code = 0;
    service->m_Status.check_point = 0;
    service->m_Status.wait_hint = 0;
  }
  service->RunServer();
  service->ReportStatus(platform::SERVICE_STOPPED, kDefaultWaitHintMs);
}

void CServiceBase::ControlHandler(DWORD control) {
  CServiceBase* service = Instance();
  if (service == nullptr) return;
  // The pending states are only noted; RunServer reports the real progress.
  auto note = [service](DWORD state) {
    std::lock_guard<std::mutex> guard(g_StatusLock);
    service->m_Status.current_state = state;
  };
  switch (control) {
    case platform::SERVICE_CONTROL_STOP:
      note(platform::SERVICE_STOP_PENDING);
      service->RequestStop();
      break;
    case platform::SERVICE_CONTROL_PAUSE:
      note(platform::SERVICE_PAUSE_PENDING);
      service->OnPause();
      break;
    case platform::SERVICE_CONTROL_CONTINUE:
      note(platform::SERVICE_CONTINUE_PENDING);
      service->OnContinue();
      break;
    case platform::SERVICE_CONTROL_INTERROGATE:
      service->ReportStatus(service->CurrentState(), kDefaultWaitHintMs);
      break;
    case platform::SERVICE_CONTROL_SHUTDOWN:
      service->OnShutdown();
      break;
    default:
      service->LogServiceEvent("Bad service request");
      break;
  }
}

int CServiceBase::RunDispatcher() {
  InstallReloadHandler();
  if (platform::service_process::RunDispatcher(m_szServiceName, &CServiceBase::ServiceMain))
    return 1;
  LogServiceEvent(SystemMessageText(platform::LastServiceError()));
  return 0;
}

int CServiceBase::InstallService() {
  if (IsInstalled()) return 1;
  const std::string image_path = platform::ModuleFilePath();
  if (image_path.empty()) return 0;
  if (!platform::scm::CreateService(m_szServiceName, m_szDisplayName, image_path)) return 0;

  // The event-log source; the service stays installed when this fails.
  platform::RegKey key;
  if (platform::RegKey::Create(std::string(kEventLogKey) + m_szServiceName,
                               platform::KEY_ALL_ACCESS, key) != ERROR_SUCCESS)
    return 0;
  key.SetString("EventMessageFile", image_path, platform::REG_EXPAND_SZ);
  key.SetDword("TypesSupported", kEventTypesSupported);
  return 1;
}

int CServiceBase::RemoveService() {
  if (!IsInstalled()) return 1;
  // The stop request is sent and not awaited; the event-log key stays.
  platform::ServiceStatus status;
  platform::scm::ControlService(m_szServiceName, platform::SERVICE_CONTROL_STOP, status);
  return platform::scm::DeleteService(m_szServiceName) ? 1 : 0;
}

int CServiceBase::StartInstalledService() {
  if (!platform::scm::IsInstalled(m_szServiceName)) return 0;
  if (!platform::scm::StartService(m_szServiceName)) return 0;
  const DWORD state = WaitWhilePending(m_szServiceName, platform::SERVICE_START_PENDING,
                                       platform::SERVICE_START_PENDING);
  return state == platform::SERVICE_RUNNING ? 1 : 0;
}

int CServiceBase::StopInstalledService() {
  if (!platform::scm::IsInstalled(m_szServiceName)) return 0;
  platform::ServiceStatus status;
  // A refused control still tells the state (stopped when nothing runs).
  if (!platform::scm::ControlService(m_szServiceName, platform::SERVICE_CONTROL_STOP, status))
    return status.current_state == platform::SERVICE_STOPPED ? 1 : 0;
  const DWORD state = WaitWhilePending(m_szServiceName, platform::SERVICE_STOP_PENDING,
                                       status.current_state);
  return state == platform::SERVICE_STOPPED ? 1 : 0;
}

int CServiceBase::DispatchCommandLine(int argc, char** argv) {
  // Only the arguments are scanned: a "-" or "/" in the program path (a
  // folder named "build-images", say) is no option.
  std::string line;
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) continue;
    if (!line.empty()) line.push_back(' ');
    line += argv[i];
  }
  for (const char* p = FindOptionLetter(line.c_str(), kOptionMarkers); p != nullptr;
       p = FindOptionLetter(p, kOptionMarkers)) {
    switch (*p) {
      case 'i':
        return InstallService();
      case 'u':
        return RemoveService();
      case 's':
        return StartInstalledService();
      case 'e':
        return StopInstalledService();
      case 'd':
        return RunInConsole();
      default:
        break;  // not an option letter: scan on after the marker
    }
  }
  return RunDispatcher();
}

int CServiceBase::RunInConsole() {
  AttachConsoleStreams();
  std::printf("Debugging %s.\n", m_szDisplayName);
  platform::SetConsoleControlHandler(&ConsoleControlHandler);
  g_bConsoleHandler = true;
  InstallReloadHandler();
  RunServer();
  return m_bCannotServe ? kExitCannotServe : 1;
}
