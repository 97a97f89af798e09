// The link a connection thread holds to the server (see server_link.h).
#include "net/server_link.h"

#include <mutex>

void CSharedServerLink::Detach() {
  std::unique_lock<std::shared_mutex> guard(m_Lock);
  m_pServer = nullptr;
}

platform::ThreadId CSharedServerLink::NotificationWindow() const {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  return m_pServer ? m_pServer->NotificationWindow() : 0;
}

std::string CSharedServerLink::GetMailFolder() const {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  return m_pServer ? m_pServer->GetMailFolder() : std::string();
}

bool CSharedServerLink::CheckLogin(const std::string& user, const std::string& password) {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  return m_pServer && m_pServer->CheckLogin(user, password);
}

int CSharedServerLink::GetLogLevel() const {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  return m_pServer ? m_pServer->GetLogLevel() : LOG_NONE;
}

int CSharedServerLink::GetTimeout() const {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  return m_pServer ? m_pServer->GetTimeout() : 0;
}

int CSharedServerLink::CountConnection(int delta) {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  return m_pServer ? m_pServer->CountConnection(delta) : 0;
}

bool CSharedServerLink::IsTooManyConnections(int connections) const {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  return m_pServer && m_pServer->IsTooManyConnections(connections);
}

int CSharedServerLink::CountAddressConnection(const std::string& address, int delta) {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  return m_pServer ? m_pServer->CountAddressConnection(address, delta) : 0;
}

bool CSharedServerLink::IsTooManyFromAddress(int connections) const {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  return m_pServer && m_pServer->IsTooManyFromAddress(connections);
}

bool CSharedServerLink::IsLoginLocked(const std::string& address) {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  return m_pServer && m_pServer->IsLoginLocked(address);
}

void CSharedServerLink::RecordLoginFailure(const std::string& address) {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  if (m_pServer) m_pServer->RecordLoginFailure(address);
}

void CSharedServerLink::AddConnection(bool smtp, std::shared_ptr<CConnectionThread> thread) {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  if (m_pServer) m_pServer->AddConnection(smtp, std::move(thread));
}

void CSharedServerLink::RemoveConnection(bool smtp, const CConnectionThread* thread) {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  if (m_pServer) m_pServer->RemoveConnection(smtp, thread);
}

bool CSharedServerLink::HandOverDelivery(const std::string& path) {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  return m_pServer && m_pServer->HandOverDelivery(path);
}

bool CSharedServerLink::IsMemoryReturnDue() const {
  std::shared_lock<std::shared_mutex> guard(m_Lock);
  return m_pServer && m_pServer->IsMemoryReturnDue();
}
