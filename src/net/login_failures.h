// Failed logins per client address, across SMTP and POP3: an address with
// more than kMaxFailures failed logins within kWindowSeconds is refused any
// login for kLockSeconds, whatever password it gives. The table is bounded:
// an attacker with many addresses cannot grow it beyond kMaxAddresses
// entries (the least recently failed address that is not locked out makes
// room first).
//
// Safe to call from any thread. The clock is injectable so that tests can
// let minutes pass.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

class CLoginFailures {
 public:
  static constexpr int kMaxFailures = 20;
  static constexpr std::int64_t kWindowSeconds = 10 * 60;
  static constexpr std::int64_t kLockSeconds = 10 * 60;
  // About 200 bytes each: the table stays below a megabyte.
  static constexpr std::size_t kMaxAddresses = 4096;

  using Clock = std::function<std::int64_t()>;  // seconds, never going back

  CLoginFailures();
  explicit CLoginFailures(Clock clock) : m_Clock(std::move(clock)) {}

  // True while logins from the address are refused.
  bool IsLocked(const std::string& address);
  // Counts a failed login; true when it starts a lockout (once per lockout,
  // so that it is reported once). Failures while locked out are not counted.
  bool RecordFailure(const std::string& address);
  std::size_t Size() const;

 private:
  struct Entry {
    // The times of the last kMaxFailures + 1 failures, a ring.
    std::array<std::int64_t, kMaxFailures + 1> times{};
    int count = 0;  // times in use (at most the ring's size)
    int next = 0;   // where the next time goes
    std::int64_t locked_until = 0;
    std::int64_t last = 0;  // the latest failure
  };
  bool IsLockedAt(const Entry& entry, std::int64_t now) const { return entry.locked_until > now; }
  // Drops one entry to make room for a new address.
  void Evict(std::int64_t now);

  Clock m_Clock;
  mutable std::mutex m_Lock;
  std::unordered_map<std::string, Entry> m_mapEntries;
};
