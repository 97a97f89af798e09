// The server core: start, run and stop of the mail service, the notification
// window's message handlers and the trace log writes.
#include "service/mail_server.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "store/mail_store.h"
#include "store/spool_file.h"
#include "common/text.h"
#include "net/connection_thread.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/paths.h"
#include "platform/service_notify.h"
#include "pop3/pop3_thread.h"
#include "relay/relay_thread.h"
#include "smtp/smtp_thread.h"

namespace {

// The listeners' accept backlog (the kernel caps it at somaxconn). A burst of
// clients connecting at once waits in it: with a short one the kernel falls
// back to SYN cookies and drops the last packet of the handshake, and a
// client that waits for our greeting then waits for ever.
constexpr int kListenBacklog = 4096;
// How long StopServers waits for one connection thread to end.
constexpr DWORD kThreadStopWaitMs = 5000;
constexpr DWORD kStatusWaitHintMs = 3000;
constexpr DWORD kStopWaitHintMs = 5000;

// The shortest time between two reloads. Any local user may signal the
// event: a storm of signals must not keep the server thread reloading.
constexpr DWORD kReloadQuietMs = 1000;

// How long freed session memory waits before it is handed back: a burst of
// sessions that end together is trimmed once.
constexpr DWORD kReturnMemoryDelayMs = 1000;

// Waits for "Mail Service Event" and has the server thread reload, at most
// once per quiet time; ends with the stop event.
class CEventWatcher : public platform::Thread {
 public:
  CEventWatcher(platform::NamedEvent& reload, platform::Event& stop, platform::ThreadId window)
      : m_Reload(reload), m_Stop(stop), m_Window(window) {}

 protected:
  void Run() override {
    for (;;) {
      const int which = platform::WaitForAny({&m_Reload, &m_Stop}, platform::INFINITE_WAIT);
      if (which != 0) return;
      platform::MessageQueue::Send(m_Window, WM_MAIL_RELOAD);
      // Signals arriving meanwhile stay pending in the event: together they
      // make one reload when the quiet time is over, so the last change is
      // never missed.
      if (m_Stop.Wait(kReloadQuietMs)) return;
    }
  }

 private:
  platform::NamedEvent& m_Reload;
  platform::Event& m_Stop;
  platform::ThreadId m_Window;
};

}  // namespace

CMailServer::CMailServer()
    : CServiceBase(kServiceName, kServiceName),
      m_Delivery([this](int level, const std::string& text) { WriteDeliveryLog(level, text); }) {}

CMailServer::~CMailServer() {
  // A connection thread that outlived everything must not reach a server
  // that is gone.
  if (m_pLink) m_pLink->Detach();
}

void CMailServer::RunServer() {
  m_bJournal = platform::notify::StderrIsJournal();
  platform::NamedMutex mutex;
  bool already_exists = false;
  if (!mutex.Create(kMutexName, &already_exists)) {
    if (already_exists) {
      // Usually another instance runs; said all the same, so that a start
      // that does nothing is never mistaken for a clean stop.
      ReportError(text::Format("ERROR: The lock of \"%s\" is held by another process; the service does not start.",
                               kMutexName));
      WriteErrorsToLogNow();
      CannotServe("another instance is running");
      return;
    }
    // Not a second instance: the lock cannot be made at all. Running without
    // it could let two servers share one mail store.
    ReportError(text::Format("ERROR: Cannot create the lock of \"%s\" (%s); the service does not start.",
                             kMutexName, std::strerror(mutex.LastError())));
    WriteErrorsToLogNow();
    CannotServe("the single-instance lock cannot be made");
    return;
  }

  ReportStatus(platform::SERVICE_START_PENDING, kStatusWaitHintMs);
  m_pStopEvent = std::make_unique<platform::Event>(true);
  m_pReloadEvent = std::make_unique<platform::NamedEvent>();
  if (!m_pReloadEvent->Create(kReloadEventName)) {
    ReportError(text::Format("ERROR: Cannot create the event \"%s\" (%s); configuration changes take effect "
                             "at the next start.",
                             kReloadEventName, std::strerror(m_pReloadEvent->LastError())));
  }

  platform::MessageQueue& window = platform::MessageQueue::ForCurrentThread();
  window.SetHandler([this](const platform::Message& msg) { return OnMessage(msg); });
  m_NotifyWindow = window.Owner();
  // A stop requested before the window existed is acted on now.
  if (m_bStopRequested) RequestStop();

  CEventWatcher watcher(*m_pReloadEvent, *m_pStopEvent, window.Owner());
  watcher.Start();
  // This thread accepts and greets every client: under a flood of busy
  // sessions a new client must not wait for their turns.
  platform::PreferCurrentThread();

  const bool serving = StartServers();
  ReportStatus(platform::SERVICE_RUNNING, kStatusWaitHintMs);
  if (serving) {
    platform::notify::Send("READY=1");
  } else if (m_bCannotServe) {
    RequestStop();  // a service manager waits: no half a server
  }

  while (!window.WaitWithMessages(*m_pStopEvent, platform::INFINITE_WAIT)) {
    if (window.QuitReceived()) break;
  }

  FlushDeliveries();  // when the servers never ran, StopServers did not
  WriteLog(LOG_TRACE, platform::CurrentThreadId(), "Mail Service stopping...");
  // The watcher may be sending a reload right now: keep handling messages
  // while waiting for its end.
  window.WaitWithMessages(watcher.Ended(), platform::INFINITE_WAIT);
  window.SetHandler(nullptr);
  m_NotifyWindow = 0;
  m_pReloadEvent.reset();
  m_pStopEvent.reset();
}

void CMailServer::RequestStop() {
  m_bStopRequested = true;
  const platform::ThreadId window = m_NotifyWindow.load();
  if (window != 0) platform::MessageQueue::Post(window, WM_MAIL_STOP);
}

void CMailServer::OnReload() {
  const platform::ThreadId window = m_NotifyWindow.load();
  if (window != 0) platform::MessageQueue::Post(window, WM_MAIL_RELOAD);
}

LRESULT CMailServer::OnMessage(const platform::Message& msg) {
  switch (msg.id) {
    case WM_MAIL_CLIENT_CONNECTED:
      OnClientConnected(true, platform::TakeText(msg.wParam));
      return 0;
    case WM_MAIL_CLIENT_DISCONNECTED:
      OnClientConnected(false, platform::TakeText(msg.wParam));
      return 0;
    case WM_MAIL_LOG_TRACE: {
      const std::string text = platform::TakeText(msg.wParam);
      WriteLog(LOG_TRACE, static_cast<platform::ThreadId>(msg.lParam), "%s", text.c_str());
      return 0;
    }
    case WM_MAIL_LOG_ERROR: {
      const std::string text = platform::TakeText(msg.wParam);
      WriteLog(LOG_ERROR, static_cast<platform::ThreadId>(msg.lParam), "%s", text.c_str());
      return 0;
    }
    case WM_MAIL_DELIVER:
      DeliverSpoolFile(platform::TakeText(msg.wParam));
      return 0;
    case WM_MAIL_STOP:
      if (m_bStopping) return 0;
      m_bStopping = true;
      platform::notify::Send("STOPPING=1");
      // Stop pending is reported before the teardown too: stopping live
      // connections may take seconds, and a caller waiting for the stop
      // must not read "running" meanwhile.
      ReportStatus(platform::SERVICE_STOP_PENDING, kStopWaitHintMs);
      StopServers();
      ReportStatus(platform::SERVICE_STOP_PENDING, kStopWaitHintMs);
      if (m_pStopEvent) m_pStopEvent->Set();
      return 0;
    case WM_MAIL_RELOAD:
      if (m_bStopping) {
        LoadConfiguration();
        return 0;
      }
      platform::notify::SendReloading();
      ReopenLog();
      LoadConfiguration();
      UpdateDeliveryTarget();
      platform::notify::Send("READY=1");
      return 0;
    default:
      return 0;
  }
}

void CMailServer::OnClientConnected(bool connected, std::string text) {
  const std::string address = text::ExtractField(text, 0, '|');
  const std::string protocol = text::ExtractField(text, 1, '|');
  if (connected) {
    WriteLog(LOG_TRACE, 0, "<%s> Client connected from %s", protocol.c_str(), address.c_str());
  } else {
    WriteLog(LOG_TRACE, 0, "<%s> Client disconnected from %s", protocol.c_str(), address.c_str());
    ReturnFreeMemorySoon();
  }
}

void CMailServer::ReturnFreeMemorySoon() {
  // Only while the servers run: the timer must not outlive them.
  if (!m_bRunning || m_nTrimTimer != 0) return;
  m_bMemoryReturnDue = true;
  m_nTrimTimer = platform::MessageQueue::ForCurrentThread().SetTimer(kReturnMemoryDelayMs, [this](UINT) {
    platform::MessageQueue::ForCurrentThread().KillTimer(m_nTrimTimer);
    m_nTrimTimer = 0;
    // Sessions that end from now on ask for the next return.
    m_bMemoryReturnDue = false;
    platform::ReturnFreeMemoryAside();
  });
}

bool CMailServer::IsTooManyConnections(int connections) const {
  return connections - 1 > m_nConnectionsLimit.load();
}

int CMailServer::CountAddressConnection(const std::string& address, int delta) {
  std::lock_guard<std::mutex> guard(m_AddressLock);
  const int count = m_mapAddressConnections[address] += delta;
  if (count <= 0) m_mapAddressConnections.erase(address);
  return count;
}

bool CMailServer::IsTooManyFromAddress(int connections) const {
  // A quarter of the limit, and never less than two (a client may well
  // fetch and send at once).
  return connections > std::max(2, m_nConnectionsLimit.load() / 4);
}

void CMailServer::RecordLoginFailure(const std::string& address) {
  if (!m_LoginFailures.RecordFailure(address)) return;
  const platform::ThreadId window = NotificationWindow();
  if (window == 0) return;
  platform::PostText(window, WM_MAIL_LOG_ERROR,
                     text::Format("Logins from %s refused for %d minutes: more than %d failed logins within %d "
                                  "minutes",
                                  address.c_str(), static_cast<int>(CLoginFailures::kLockSeconds / 60),
                                  CLoginFailures::kMaxFailures,
                                  static_cast<int>(CLoginFailures::kWindowSeconds / 60)),
                     0);
}

bool CMailServer::CheckLogin(const std::string& user, const std::string& password) {
  std::lock_guard<std::mutex> guard(m_AccountsLock);
  return FindAccount(m_arrAccounts, user, password) != nullptr;
}

void CMailServer::WriteLog(int level, platform::ThreadId, const char* format, ...) {
  if (level > m_nLogLevel) return;
  try {
    va_list args;
    va_start(args, format);
    const std::string line = text::FormatV(format, args);
    va_end(args);
    m_LogFile.WriteLine(line);
    if (m_bJournal) WriteJournalLine(level, line);
  } catch (...) {
    // A failure while logging never reaches the caller.
  }
}

void CMailServer::WriteJournalLine(int level, std::string_view line) {
  // One entry per line: a line break inside the text would start an entry
  // without the priority.
  std::string entry = level == LOG_ERROR ? "<3>" : "<6>";
  for (char c : line) entry.push_back(c == '\n' || c == '\r' ? ' ' : c);
  entry.push_back('\n');
  std::fwrite(entry.data(), 1, entry.size(), stderr);
}

void CMailServer::CannotServe(const std::string& reason) {
  if (!platform::notify::Watched()) return;
  m_bCannotServe = true;
  std::fprintf(stderr, "%s: %s.\n", kServiceName, reason.c_str());
  std::fflush(stderr);
}

bool CMailServer::StartListeners(std::vector<std::unique_ptr<CListenSocket>>& listeners,
                                 const char* protocol, int port,
                                 const std::function<std::unique_ptr<CListenSocket>()>& make) {
  listeners.clear();
  const std::vector<std::string> every_address{""};
  for (const std::string& address : m_arrListenAddresses.empty() ? every_address : m_arrListenAddresses) {
    std::unique_ptr<CListenSocket> listener = make();
    if (!listener->Create(port, kListenBacklog, address)) {
      const int error = platform::LastSocketError();
      listeners.clear();
      WriteLog(LOG_ERROR, 0, "<%s> Server failed to start on port %d.", protocol, port);
      CannotServe(text::Format("cannot listen for %s on port %d%s%s: %s", protocol, port,
                               address.empty() ? "" : " of ", address.c_str(),
                               platform::SocketErrorText(error).c_str()));
      return false;
    }
    listeners.push_back(std::move(listener));
  }
  return true;
}

void CMailServer::UpdateDeliveryTarget() { m_Delivery.SetTarget(GetMailFolder(), m_arrDomains); }

void CMailServer::WriteDeliveryLog(int level, const std::string& text) {
  const platform::ThreadId window = NotificationWindow();
  if (window == 0 || window == platform::CurrentThreadId()) {
    WriteLog(level, 0, "%s", text.c_str());
    return;
  }
  if (level > GetLogLevel()) return;
  platform::PostText(window, level == LOG_ERROR ? WM_MAIL_LOG_ERROR : WM_MAIL_LOG_TRACE, text, 0);
}

void CMailServer::DeliverSpoolFile(const std::string& path) {
  // The running worker got the settings when they were loaded.
  if (!m_Delivery.IsRunning()) UpdateDeliveryTarget();
  m_Delivery.Deliver(path);
}

void CMailServer::DeliverLeftoverSpoolFiles() {
  UpdateDeliveryTarget();
  m_Delivery.DeliverLeftovers();
}

void CMailServer::RetryKeptSpoolFiles() {
  if (!m_Delivery.IsRunning()) UpdateDeliveryTarget();
  m_Delivery.RetryKept();
}

std::string CMailServer::GetMailFolder() const {
  std::lock_guard<std::mutex> guard(m_MailFolderLock);
  return m_strMailFolder;
}

void CMailServer::SetMailFolder(std::string folder) {
  std::lock_guard<std::mutex> guard(m_MailFolderLock);
  m_strMailFolder = std::move(folder);
}

void CMailServer::AddConnection(bool smtp, std::shared_ptr<CConnectionThread> thread) {
  std::lock_guard<std::mutex> guard(m_ConnectionLock);
  (smtp ? m_lstSmtpConnections : m_lstPop3Connections).push_back(std::move(thread));
}

void CMailServer::RemoveConnection(bool smtp, const CConnectionThread* thread) {
  std::lock_guard<std::mutex> guard(m_ConnectionLock);
  auto& list = smtp ? m_lstSmtpConnections : m_lstPop3Connections;
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->get() == thread) {
      list.erase(it);
      return;
    }
  }
}

void CMailServer::OpenLog() {
  if (m_nLogLevel == 0) return;
  const std::string folder =
      platform::StripTrailingSeparators(m_strLogPath.empty() ? platform::ModuleFolder() : m_strLogPath);
  // Whoever can write the folder can put a link or a file of their own where
  // the log goes: the administrator hears of it at every start.
  platform::FindEntry status;
  if (platform::GetFileStatus(folder, status) && (status.permissions & 0022u) != 0) {
    ReportError(text::Format("ERROR: The log folder \"%s\" can be written by other users.", folder.c_str()));
  }
  m_LogFile.m_bEnabled = true;
  if (!m_LogFile.Open(folder + "\\Mailtrace.log")) return;
  for (const std::string& text : m_arrUnloggedErrors) WriteLog(LOG_ERROR, 0, "%s", text.c_str());
  m_arrUnloggedErrors.clear();
}

void CMailServer::ReopenLog() {
  // After a rotation the log goes on in a new file at the same path.
  if (!m_LogFile.IsOpen()) return;
  const std::string path = m_LogFile.FileName();
  m_LogFile.Open(path);
}

void CMailServer::ReportError(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  if (m_LogFile.IsOpen()) {
    WriteLog(LOG_ERROR, 0, "%s", text.c_str());
  } else {
    m_arrUnloggedErrors.push_back(text);
  }
}

void CMailServer::WriteErrorsToLogNow() {
  if (m_arrUnloggedErrors.empty() || m_LogFile.IsOpen()) return;
  m_nLogLevel = settings::ReadNumber(settings::kLogLevel);
  m_strLogPath = settings::ReadText(settings::kLogPath);
  OpenLog();
  m_LogFile.Close();
}

void CMailServer::CloseLog() {
  // The closing line is written whenever the file is open, whatever the level.
  m_LogFile.WriteLine("*** APPLICATION STOPPED ***");
  if (m_bJournal && m_LogFile.IsOpen()) WriteJournalLine(LOG_TRACE, "*** APPLICATION STOPPED ***");
  m_LogFile.Close();
}

bool CMailServer::StartServers() {
  if (m_bRunning) return true;
  LoadConfiguration();
  OpenLog();
  RemoveStaleTempFiles();
  // Mail accepted before a crash is delivered before any client is served;
  // from then on the worker delivers.
  DeliverLeftoverSpoolFiles();
  m_Delivery.Start();
  platform::MessageQueue& queue = platform::MessageQueue::ForCurrentThread();
  if (m_nRetryTimer != 0) queue.KillTimer(m_nRetryTimer);
  const int interval = std::clamp(m_nScanInterval, settings::kScanInterval.min, settings::kScanInterval.max);
  m_nRetryTimer = queue.SetTimer(static_cast<DWORD>(interval) * 1000u, [this](UINT) { RetryKeptSpoolFiles(); });

  if (!m_pLink) m_pLink = std::make_shared<CSharedServerLink>(this);
  if (!StartListeners(m_arrPop3Listeners, "POP3", m_nPort, [this] {
        return std::make_unique<CPop3ListenSocket>(m_pLink, [this](CPop3Thread& thread) {
          CopySettings(static_cast<CConnectionThread&>(thread));
        });
      }))
    return false;
  WriteLog(LOG_TRACE, 0, "<POP3> Server started on port %d.", m_nPort);

  if (!StartListeners(m_arrSmtpListeners, "SMTP", m_nSmtpPort, [this] {
        return std::make_unique<CSmtpListenSocket>(m_pLink, [this](CSmtpThread& thread) { CopySettings(thread); });
      }))
    return false;
  WriteLog(LOG_TRACE, 0, "<SMTP> Server started on port %d.", m_nSmtpPort);
  if (!StartTlsListeners()) return false;
  m_bRunning = true;

  if (m_bRelayMessages != 0) StartRelayThread();
  return true;
}

void CMailServer::RemoveStaleTempFiles() {
  // Only this instance writes there (the mutex), and nothing is open at
  // start: what is left are files a crash interrupted.
  const std::string folder = MailTempFolder(GetMailFolder());
  std::vector<platform::FindEntry> entries;
  if (!platform::ListFolder(folder, entries)) return;
  for (const platform::FindEntry& entry : entries) {
    if (entry.is_regular) platform::DeleteFile(folder + entry.name);
  }
}

void CMailServer::StopServers() {
  const bool was_running = m_bRunning;
  StopRelayThread();
  m_bRunning = false;
  // A listener that did start while a later one failed has its clients
  // too: they are ended all the same.
  m_arrPop3Listeners.clear();
  m_arrSmtpListeners.clear();
  m_arrPop3sListeners.clear();
  m_arrSmtpsListeners.clear();
  StopConnectionThreads(false);
  StopConnectionThreads(true);
  // A thread that outlived its wait keeps an empty link from here on.
  if (m_pLink) m_pLink->Detach();
  m_pLink.reset();
  // Whatever the sessions handed over is delivered before the log closes.
  m_Delivery.Stop();
  ReleaseSpoolFolder();
  if (m_nRetryTimer != 0) platform::MessageQueue::ForCurrentThread().KillTimer(m_nRetryTimer);
  m_nRetryTimer = 0;
  if (m_nTrimTimer != 0) platform::MessageQueue::ForCurrentThread().KillTimer(m_nTrimTimer);
  m_nTrimTimer = 0;
  m_bMemoryReturnDue = false;
  FlushDeliveries();
  // The closing lines only after a start that succeeded.
  if (!was_running) return;
  WriteLog(LOG_TRACE, 0, "Mail Server stopped.");
  CloseLog();
}

void CMailServer::StopConnectionThreads(bool smtp) {
  auto& list = smtp ? m_lstSmtpConnections : m_lstPop3Connections;
  platform::MessageQueue& window = platform::MessageQueue::ForCurrentThread();
  for (;;) {
    std::shared_ptr<CConnectionThread> thread;
    {
      std::lock_guard<std::mutex> guard(m_ConnectionLock);
      if (list.empty()) return;
      // A shared owner keeps the record valid after the thread removed itself.
      thread = list.front();
    }
    WriteLog(LOG_TRACE, 0, "Shutting down thread...");
    thread->SetPriorityHighest();
    platform::MessageQueue::Post(thread->Id(), WM_QUIT);
    if (window.WaitWithMessages(thread->Ended(), kThreadStopWaitMs))
      WriteLog(LOG_TRACE, 0, "Thread successfully stopped.");
    else
      WriteLog(LOG_ERROR, 0, "Problem while killing thread.");
    RemoveConnection(smtp, thread.get());
  }
}
