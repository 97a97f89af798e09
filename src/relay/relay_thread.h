// CRelayThread empties the queue folder: it notices new files there (change
// notification, with a periodic scan as fallback), finds the mail servers of
// each remote recipient's domain (a pre-defined entry, "*", or a DNS MX
// query), hands the message to them one recipient at a time, copies what it
// cannot deliver into the bad-mail folder and deletes the queued file. A few
// sender threads do this for several queued files at once, with a bound on
// the transactions open to one mail server.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/log_level.h"
#include "common/retry_policy.h"
#include "common/settings_table.h"
#include "net/tls_context.h"
#include "platform/messages.h"
#include "platform/sync.h"

class CRelayThread : public platform::Thread {
 public:
  CRelayThread();
  ~CRelayThread() override;

  // Handed over by the server core before Start().
  std::string m_strQueueFolder;    // mail folder + "\queue\"
  std::string m_strBadMailFolder;  // mail folder + "\badmail\"
  std::string m_strDNSServer;
  std::string m_strHeloName;
  std::vector<std::string> m_arrDomains;
  int m_nMaxRecipients = settings::kMaxRecipients.number_default;
  int m_nRelayTimeout = settings::kRelayTimeout.number_default;
  platform::ThreadId m_hNotifyWindow = 0;
  std::map<std::string, std::string> m_mapMailServers;  // lower-case domain -> servers
  RetryPolicy m_RetryPolicy;  // off unless RetryFor is set
  // The LogLevel setting (from the server thread, at any time): trace lines
  // the log would drop are not posted at all, since a transaction has a
  // dozen of them and each one wakes the server thread.
  std::atomic<int> m_nLogLevel{LOG_DEBUG};

  // A reload's retry values (from the server thread, at any time). The
  // thread takes them at its next wait and looks at its queue's schedules
  // again, so a try that `quillctl queue retry` made due happens now.
  void UpdateRetryPolicy(const RetryPolicy& policy);

  // RelayTls: encrypt where the remote server offers STARTTLS (null: the
  // HELO dialogue).
  std::shared_ptr<CTlsContext> m_pTlsContext;

  // Signals the thread to end, waits for the end of its run (the
  // transactions in progress run to their end first, for a few seconds at
  // most) and returns; the caller then deletes it.
  void Stop();

 protected:
  void Run() override;

 private:
  // The thread's work and state (relay_thread_impl.h).
  struct Impl;
  friend struct RelayThreadTestAccess;  // the unit tests reach the work directly
  std::unique_ptr<Impl> m_pImpl;
};
