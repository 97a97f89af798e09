// Failed logins per client address (see login_failures.h).
#include "net/login_failures.h"

#include <chrono>

CLoginFailures::CLoginFailures()
    : m_Clock([] {
        return static_cast<std::int64_t>(
            std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
      }) {}

bool CLoginFailures::IsLocked(const std::string& address) {
  const std::int64_t now = m_Clock();
  std::lock_guard<std::mutex> guard(m_Lock);
  const auto it = m_mapEntries.find(address);
  return it != m_mapEntries.end() && IsLockedAt(it->second, now);
}

bool CLoginFailures::RecordFailure(const std::string& address) {
  const std::int64_t now = m_Clock();
  std::lock_guard<std::mutex> guard(m_Lock);
  auto it = m_mapEntries.find(address);
  if (it == m_mapEntries.end()) {
    if (m_mapEntries.size() >= kMaxAddresses) Evict(now);
    it = m_mapEntries.emplace(address, Entry()).first;
  }
  Entry& entry = it->second;
  if (IsLockedAt(entry, now)) return false;
  if (entry.locked_until != 0) entry = Entry();  // a lockout ended: counting starts again
  constexpr int ring = kMaxFailures + 1;
  entry.times[entry.next] = now;
  entry.next = (entry.next + 1) % ring;
  if (entry.count < ring) ++entry.count;
  entry.last = now;
  // With the ring full, the oldest time is where the next one goes.
  if (entry.count < ring || now - entry.times[entry.next] >= kWindowSeconds) return false;
  entry.locked_until = now + kLockSeconds;
  return true;
}

std::size_t CLoginFailures::Size() const {
  std::lock_guard<std::mutex> guard(m_Lock);
  return m_mapEntries.size();
}

void CLoginFailures::Evict(std::int64_t now) {
  // Entries that no longer matter go first; else the address whose last
  // failure is oldest among those not locked out; only when every entry is
  // locked out, the one whose lockout ends first.
  auto victim = m_mapEntries.end();
  bool victim_locked = true;
  for (auto it = m_mapEntries.begin(); it != m_mapEntries.end(); ++it) {
    const Entry& entry = it->second;
    const bool locked = IsLockedAt(entry, now);
    if (!locked && now - entry.last >= kWindowSeconds) {
      m_mapEntries.erase(it);
      return;
    }
    if (victim == m_mapEntries.end() || (victim_locked && !locked) ||
        (locked == victim_locked &&
         (locked ? entry.locked_until < victim->second.locked_until : entry.last < victim->second.last))) {
      victim = it;
      victim_locked = locked;
    }
  }
  if (victim != m_mapEntries.end()) m_mapEntries.erase(victim);
}
