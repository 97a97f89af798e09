// The senders' order and the bound per mail server (see relay_schedule.h).
#include "relay/relay_schedule.h"

#include <algorithm>

void CRelaySchedule::Add(const std::string& destination, std::size_t item) {
  Destination* known = Find(destination);
  if (!known) {
    m_arrDestinations.push_back({destination, {}, 0});
    known = &m_arrDestinations.back();
  }
  known->waiting.push_back(item);
}

std::optional<std::size_t> CRelaySchedule::Next() {
  const std::size_t count = m_arrDestinations.size();
  for (std::size_t step = 0; step < count; ++step) {
    const std::size_t index = (m_nTurn + step) % count;
    Destination& destination = m_arrDestinations[index];
    if (destination.waiting.empty() || destination.running >= m_nPerDestination) continue;
    const std::size_t item = destination.waiting.front();
    destination.waiting.pop_front();
    ++destination.running;
    // The next call starts at the destination after this one: turns, not
    // the first destination's whole backlog first.
    m_nTurn = (index + 1) % count;
    return item;
  }
  return std::nullopt;
}

void CRelaySchedule::Done(const std::string& destination) {
  Destination* known = Find(destination);
  if (known && known->running > 0) --known->running;
}

bool CRelaySchedule::Waiting() const {
  for (const Destination& destination : m_arrDestinations)
    if (!destination.waiting.empty()) return true;
  return false;
}

std::size_t CRelaySchedule::Ready() const {
  std::size_t ready = 0;
  for (const Destination& destination : m_arrDestinations) {
    const std::size_t free = static_cast<std::size_t>(std::max(0, m_nPerDestination - destination.running));
    ready += std::min(destination.waiting.size(), free);
  }
  return ready;
}

CRelaySchedule::Destination* CRelaySchedule::Find(const std::string& name) {
  for (Destination& destination : m_arrDestinations)
    if (destination.name == name) return &destination;
  return nullptr;
}

bool CHostSlots::Acquire(const std::string& host) {
  std::unique_lock<std::mutex> lock(m_Lock);
  m_Changed.wait(lock, [&] { return m_bCancelled || m_mapTaken[host] < m_nPerHost; });
  if (m_bCancelled) return false;
  ++m_mapTaken[host];
  return true;
}

void CHostSlots::Release(const std::string& host) {
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    const auto taken = m_mapTaken.find(host);
    if (taken != m_mapTaken.end() && --taken->second <= 0) m_mapTaken.erase(taken);
  }
  m_Changed.notify_all();
}

void CHostSlots::Cancel() {
  {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_bCancelled = true;
  }
  m_Changed.notify_all();
}

void CHostSlots::Reset() {
  std::lock_guard<std::mutex> lock(m_Lock);
  m_bCancelled = false;
}
