// The server link of the session tests (see fake_server_link.h).
#include "fake_server_link.h"

#include <algorithm>

std::string FakeServerLink::GetMailFolder() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_strMailFolder;
}

void FakeServerLink::SetMailFolder(std::string folder) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_strMailFolder = std::move(folder);
}

bool FakeServerLink::CheckLogin(const std::string& user, const std::string& password) {
  return FindAccount(m_arrAccounts, user, password) != nullptr;
}

void FakeServerLink::AddConnection(bool, std::shared_ptr<CConnectionThread> thread) {
  std::lock_guard<std::mutex> guard(m_Lock);
  m_arrConnections.push_back(std::move(thread));
}

void FakeServerLink::RemoveConnection(bool, const CConnectionThread* thread) {
  std::lock_guard<std::mutex> guard(m_Lock);
  std::erase_if(m_arrConnections, [thread](const auto& listed) { return listed.get() == thread; });
}

int FakeServerLink::CountAddressConnection(const std::string& address, int delta) {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_mapAddressConnections[address] += delta;
}
