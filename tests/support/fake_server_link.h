// The server as the sessions see it, without a server: a mail folder and the
// accounts for the login check, a log level and a time-out; the connection
// count and lists are kept so that a test can read them.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/user_account.h"
#include "net/login_failures.h"
#include "net/server_link.h"

class FakeServerLink : public CServerLink {
 public:
  platform::ThreadId NotificationWindow() const override { return m_hNotifyWindow; }
  std::string GetMailFolder() const override;
  bool CheckLogin(const std::string& user, const std::string& password) override;
  int GetLogLevel() const override { return m_nLogLevel; }
  int GetTimeout() const override { return m_nTimeout; }
  int CountConnection(int delta) override { return m_nConnections += delta; }
  bool IsTooManyConnections(int connections) const override { return connections - 1 > m_nConnectionsLimit; }
  int CountAddressConnection(const std::string& address, int delta) override;
  bool IsTooManyFromAddress(int connections) const override { return connections > m_nMaxPerAddress; }
  bool IsLoginLocked(const std::string& address) override { return m_LoginFailures.IsLocked(address); }
  void RecordLoginFailure(const std::string& address) override {
    if (m_LoginFailures.RecordFailure(address)) ++m_nLockouts;
  }
  void AddConnection(bool smtp, std::shared_ptr<CConnectionThread> thread) override;
  void RemoveConnection(bool smtp, const CConnectionThread* thread) override;
  bool IsMemoryReturnDue() const override { return m_bMemoryReturnDue; }

  void SetMailFolder(std::string folder);

  platform::ThreadId m_hNotifyWindow = 0;
  std::vector<CUserAccount> m_arrAccounts;
  int m_nLogLevel = LOG_DEBUG;
  int m_nTimeout = 90;
  std::atomic<int> m_nConnections{0};
  int m_nConnectionsLimit = 20;
  std::vector<std::shared_ptr<CConnectionThread>> m_arrConnections;
  std::map<std::string, int> m_mapAddressConnections;  // guarded by m_Lock
  int m_nMaxPerAddress = 1 << 30;
  // The failed-login table runs on m_nNow (seconds), which a test moves.
  std::atomic<std::int64_t> m_nNow{1000};
  CLoginFailures m_LoginFailures{[this] { return m_nNow.load(); }};
  int m_nLockouts = 0;  // lockouts started (the server logs one Error line each)
  bool m_bMemoryReturnDue = false;

 private:
  mutable std::mutex m_Lock;  // the mail folder and the list
  std::string m_strMailFolder;
};
