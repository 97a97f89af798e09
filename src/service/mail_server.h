// CMailServer: the one server object of the service program. Its thread (the
// server thread) owns the notification "window" (its message queue), writes
// the trace log, hands spool files to the delivery worker, reloads the
// configuration and starts and stops the listeners, the delivery worker and
// the relay thread. Every other thread reaches it only by posting (or, for
// the reload, sending) a WM_MAIL_* message to that window.
#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/retry_policy.h"
#include "common/service_names.h"
#include "common/settings_table.h"
#include "common/user_account.h"
#include "net/login_failures.h"
#include "net/server_link.h"
#include "platform/messages.h"
#include "platform/sync.h"
#include "service/log_file.h"
#include "service/service_base.h"
#include "store/delivery_worker.h"

class CSmtpThread;
class CListenSocket;
class CTlsContext;
class CRelayThread;

inline constexpr const char* kMutexName = "Mail Service Mutex";

class CMailServer : public CServiceBase, public CServerLink {
 public:
  CMailServer();
  ~CMailServer() override;

  void RunServer() override;
  void RequestStop() override;
  // Has the server thread load the configuration again, as the named event
  // does.
  void OnReload() override;

  bool StartServers();
  void StopServers();
  void StartRelayThread();
  void StopRelayThread();
  void LoadConfiguration();
  // Makes the server's encryption from TlsCertificate and TlsPrivateKey
  // (tls_settings.cpp), at start and on every reload.
  void LoadTlsContext();

  // CServerLink (see net/server_link.h).
  platform::ThreadId NotificationWindow() const override { return m_NotifyWindow.load(); }
  std::string GetMailFolder() const override;
  bool CheckLogin(const std::string& user, const std::string& password) override;
  int GetLogLevel() const override { return m_nLogLevel.load(); }
  int GetTimeout() const override { return m_nTimeout.load(); }
  int CountConnection(int delta) override { return m_nConnections += delta; }
  bool IsTooManyConnections(int connections) const override;
  int CountAddressConnection(const std::string& address, int delta) override;
  bool IsTooManyFromAddress(int connections) const override;
  bool IsLoginLocked(const std::string& address) override { return m_LoginFailures.IsLocked(address); }
  void RecordLoginFailure(const std::string& address) override;
  // The lists hold shared owners, so a record read by StopServers stays
  // valid after its thread removed itself.
  void AddConnection(bool smtp, std::shared_ptr<CConnectionThread> thread) override;
  void RemoveConnection(bool smtp, const CConnectionThread* thread) override;
  bool HandOverDelivery(const std::string& path) override { return m_Delivery.HandOver(path); }
  bool IsMemoryReturnDue() const override { return m_bMemoryReturnDue.load(); }

  void WriteLog(int level, platform::ThreadId thread, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  // An error the operator must learn of (the registry cannot be read, a
  // named object cannot be made): on standard error at once, and in the
  // trace log at level Error, kept until the log is opened when it is not
  // open yet.
  void ReportError(const std::string& text);
  // Local delivery (store/local_delivery.h) with the server's mail folder
  // and local domains: on the delivery worker while the servers run, at
  // once on the calling thread otherwise.
  void DeliverSpoolFile(const std::string& path);
  void FlushDeliveries() { m_Delivery.Flush(); }
  void DeliverLeftoverSpoolFiles();
  // Tries the spool files kept after a failed delivery again (the timer of
  // the running servers, every ScanInterval seconds).
  void RetryKeptSpoolFiles();
  // Replaces the mail folder text (the configuration load; tests).
  void SetMailFolder(std::string folder);

  // A new connection's copies of the settings, taken at accept time: the IP
  // filter, and for SMTP the session's policy (connection_settings.cpp).
  void CopySettings(CConnectionThread& thread) const;
  void CopySettings(CSmtpThread& thread) const;

  // Settings, as loaded (read on the server thread; threads get copies).
  int m_nIPFilterMode = settings::kIPFilterMode.number_default;
  std::vector<std::string> m_arrIPFilter;
  std::atomic<int> m_nConnectionsLimit{settings::kConnectionsLimit.number_default};
  int m_bAuthLocal = settings::kAuthLocal.number_default;
  int m_bAuthRemote = settings::kAuthRemote.number_default;
  std::vector<std::string> m_arrDomains;
  std::vector<std::string> m_arrForwardRules;
  std::vector<std::string> m_arrBlockMailFrom;
  std::atomic<int> m_nTimeout{settings::kTimeout.number_default};
  int m_nRelayTimeout = settings::kRelayTimeout.number_default;
  std::string m_strServerID = settings::kServerID.text_default;
  int m_nMaxMessageSize = settings::kMaxMessageSize.number_default;
  std::string m_strLogPath;
  std::atomic<int> m_nLogLevel{settings::kLogLevel.number_default};
  int m_nPort = settings::kPort.number_default;
  int m_nSmtpPort = settings::kSmtpPort.number_default;
  std::vector<std::string> m_arrMxRecords;
  int m_bRelayMessages = settings::kRelayMessages.number_default;
  std::string m_strHostName;
  int m_nMaxRecipients = settings::kMaxRecipients.number_default;
  std::string m_strDNSServer;
  int m_nScanInterval = settings::kScanInterval.number_default;
  RetryPolicy m_RetryPolicy;  // RetryFor and RetrySchedule
  std::vector<std::string> m_arrListenAddresses;  // empty: every address
  std::string m_strTlsCertificate;
  std::string m_strTlsPrivateKey;
  int m_bTlsAuthOnly = settings::kTlsAuthOnly.number_default;
  int m_nSmtpsPort = settings::kSmtpsPort.number_default;
  int m_nPop3sPort = settings::kPop3sPort.number_default;
  int m_bRelayTls = settings::kRelayTls.number_default;
  // What new connections encrypt with (null: no certificate, no TLS); the
  // files it was made from, to tell a reload that changed nothing.
  std::shared_ptr<CTlsContext> m_pTlsContext;
  std::vector<CUserAccount> m_arrAccounts;  // guarded by m_AccountsLock
  mutable std::mutex m_AccountsLock;

  CLogFile m_LogFile;

 private:
  LRESULT OnMessage(const platform::Message& msg);
  void OnClientConnected(bool connected, std::string text);
  void StopConnectionThreads(bool smtp);
  void OpenLog();
  void ReopenLog();
  void CloseLog();
  // Writes the errors reported before the log was open into a log opened
  // for them alone (a start that ends before the servers run).
  void WriteErrorsToLogNow();
  // A trace-log line to the journal, with the syslog priority of its level.
  void WriteJournalLine(int level, std::string_view line);
  // Where a service manager waits for us to be ready, says on standard
  // error why we cannot serve and marks the run as failed.
  void CannotServe(const std::string& reason);
  // Listeners of one protocol on `port` of every listen address, made by
  // `make`; when one cannot start, none stays and the trace log says so
  // (with CannotServe).
  bool StartListeners(std::vector<std::unique_ptr<CListenSocket>>& listeners, const char* protocol,
                      int port, const std::function<std::unique_ptr<CListenSocket>()>& make);
  void RemoveStaleTempFiles();
  // The implicit TLS listeners of SmtpsPort and Pop3sPort (tls_settings.cpp).
  bool StartTlsListeners();
  // After sessions ended: their freed memory goes back to the system once
  // the second is over, for all that ended in it.
  void ReturnFreeMemorySoon();

  std::mutex m_ConnectionLock;
  std::list<std::shared_ptr<CConnectionThread>> m_lstPop3Connections;
  std::list<std::shared_ptr<CConnectionThread>> m_lstSmtpConnections;
  std::atomic<int> m_nConnections{0};
  mutable std::mutex m_AddressLock;
  std::unordered_map<std::string, int> m_mapAddressConnections;  // live connections only
  CLoginFailures m_LoginFailures;
  UINT m_nTrimTimer = 0;  // memory of ended sessions waits for it
  std::atomic<bool> m_bMemoryReturnDue{false};  // m_nTrimTimer runs (read by any thread)

  // What the connection threads hold of this object, emptied by the stop.
  std::shared_ptr<CSharedServerLink> m_pLink;
  // One listener per listen address (a single one on every address when
  // ListenAddresses is empty).
  std::vector<std::unique_ptr<CListenSocket>> m_arrPop3Listeners;
  std::vector<std::unique_ptr<CListenSocket>> m_arrSmtpListeners;
  std::vector<std::unique_ptr<CListenSocket>> m_arrPop3sListeners;
  std::vector<std::unique_ptr<CListenSocket>> m_arrSmtpsListeners;
  std::unique_ptr<CRelayThread> m_pRelayThread;

  // Hands the worker the mail folder and local domains now loaded.
  void UpdateDeliveryTarget();
  // Writes a line of the delivery worker: through the server thread's
  // queue, as the connection threads' lines go.
  void WriteDeliveryLog(int level, const std::string& text);

  CDeliveryWorker m_Delivery;  // runs while the servers run
  UINT m_nRetryTimer = 0;     // tries kept spool files again while the servers run

  mutable std::mutex m_MailFolderLock;
  std::string m_strMailFolder = settings::kMailFolder.text_default;

  std::vector<std::string> m_arrUnloggedErrors;  // reported before the log was open

  std::unique_ptr<platform::Event> m_pStopEvent;
  std::unique_ptr<platform::NamedEvent> m_pReloadEvent;
  std::atomic<platform::ThreadId> m_NotifyWindow{0};
  std::atomic<bool> m_bStopRequested{false};
  bool m_bStopping = false;  // the stop sequence ran (server thread)
  bool m_bRunning = false;
  bool m_bJournal = false;  // standard error is the journal (set at start)
};
