// CRelayThread: the thread's life and the watch on the queue folder.
//
// The thread waits for a change notification on the queue folder or for its
// stop event, at most the scan interval. A change starts a queue pass when a
// file name appeared that the snapshot does not hold; the time-out starts a
// pass when the folder holds any file at all (one whose arrival was missed).
// When the folder cannot be watched the time-out alone serves it. A pass
// looks at the stop event between files and between recipients; the
// transactions in progress run to their end first, for a few seconds at
// most (relay_thread_pool.cpp).
//
// While the relay retries, the wait also ends at the earliest next try of
// a waiting file (a pass then takes the files that are due), and when a
// reload hands over new retry values.
#include "relay/relay_thread.h"

#include <algorithm>

#include "common/settings_table.h"
#include "common/text.h"
#include "net/server_link.h"
#include "platform/dir_watch.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "relay/relay_thread_impl.h"

namespace {

bool IsDotEntry(const std::string& name) { return name == "." || name == ".."; }

}  // namespace

CRelayThread::CRelayThread() : m_pImpl(std::make_unique<Impl>(*this)) {}

CRelayThread::~CRelayThread() {
  // A thread that still runs would use this object after its end.
  if (Id() != 0 && !Ended().IsSet()) Stop();
}

void CRelayThread::Stop() {
  if (Id() == 0) return;  // never started
  m_pImpl->m_StopEvent.Set();
  Ended().Wait(platform::INFINITE_WAIT);
}

void CRelayThread::Run() { m_pImpl->Run(); }

void CRelayThread::UpdateRetryPolicy(const RetryPolicy& policy) {
  {
    std::lock_guard<std::mutex> guard(m_pImpl->m_PolicyLock);
    m_pImpl->m_NewPolicy = policy;
  }
  m_pImpl->m_WakeEvent.Set();
}

bool CRelayThread::Impl::TakeNewPolicy() {
  std::optional<RetryPolicy> policy;
  {
    std::lock_guard<std::mutex> guard(m_PolicyLock);
    policy.swap(m_NewPolicy);
  }
  if (!policy) return false;
  const bool was_retrying = Retrying();
  m_Policy = *policy;
  // Nothing waits unless the relay retried: with retries off before and
  // after, a reload changes nothing the relay does.
  if (!was_retrying && !Retrying()) return false;
  // The schedules on disk may have changed (a try made due by hand); the
  // pass reads them again. With retries now off, what waits is tried once
  // more and then handled as without retries.
  const bool waiting = !m_mapWaiting.empty();
  m_mapWaiting.clear();
  return waiting;
}

std::optional<DWORD> CRelayThread::Impl::NextTryWaitMs() const {
  if (m_mapWaiting.empty()) return std::nullopt;
  std::time_t earliest = m_mapWaiting.begin()->second;
  for (const auto& [name, at] : m_mapWaiting) earliest = std::min(earliest, at);
  const std::time_t now = std::time(nullptr);
  if (earliest <= now) return 0;
  // At most a day at a time: the wall clock may be set in between.
  const std::time_t seconds = std::min<std::time_t>(earliest - now, 24 * 3600);
  return static_cast<DWORD>(seconds) * 1000u;
}

void CRelayThread::Impl::Run() {
  // An interval of 0 (or less) would turn the fallback scan into a busy
  // loop; the range's top keeps the milliseconds within a DWORD.
  const int scan_interval = std::clamp(settings::ReadNumber(settings::kScanInterval),
                                       settings::kScanInterval.min, settings::kScanInterval.max);
  const DWORD scan_ms = static_cast<DWORD>(scan_interval) * 1000u;

  // Without a watch (the system has none to give, or the folder was removed
  // or replaced) the thread still serves the queue: it scans the folder at
  // every interval and tries to watch it again.
  platform::DirWatch watch;
  if (!watch.Open(QueueFolder())) LogWatchFailure(watch, scan_interval);
  m_Policy = m_Owner.m_RetryPolicy;
  m_pWatch = &watch;
  m_nScanInterval = scan_interval;
  m_arrSnapshot.clear();
  if (CheckForNewFiles()) ProcessQueue();

  // The scan comes at its interval after the last change or scan, however
  // often a retry falls due in between.
  std::uint64_t scan_at = platform::TickCountMs() + scan_ms;
  for (;;) {
    // The stop event comes first, so that a steady stream of new mail cannot
    // keep the thread from ending.
    std::vector<platform::Waitable*> objects{&m_StopEvent, &m_WakeEvent};
    if (watch.IsOpen()) objects.push_back(&watch);
    const std::uint64_t now = platform::TickCountMs();
    DWORD wait_ms = scan_at > now ? static_cast<DWORD>(scan_at - now) : 0;
    const std::optional<DWORD> try_ms = NextTryWaitMs();
    const bool try_first = try_ms && *try_ms < wait_ms;
    if (try_first) wait_ms = *try_ms;
    const int result = platform::WaitForAny(objects, wait_ms);
    if (result == platform::WAIT_TIMEOUT_RESULT && try_first) {
      ProcessQueue("Trying deferred recipients again.");
      continue;
    }
    if (result == 1) {
      if (TakeNewPolicy()) ProcessQueue("Trying deferred recipients again.");
      continue;
    }
    if (result == 2) {
      // Re-armed before the folder is looked at: a file that arrives during
      // the pass below signals the watch again instead of being missed.
      if (!watch.Rearm()) {
        LogWatchFailure(watch, scan_interval);
        watch.Close();
      }
      if (CheckForNewFiles()) ProcessQueue();
    } else if (result == platform::WAIT_TIMEOUT_RESULT) {
      if (!watch.IsOpen() && watch.Open(QueueFolder())) Log("Watching the queue folder again.");
      if (QueueHoldsFiles()) {
        Log("WARNING: Processing undetected messages in queue.");
        ProcessQueue();
      }
      if (watch.IsOpen() && !watch.Rearm()) {
        LogWatchFailure(watch, scan_interval);
        watch.Close();
      }
    } else {
      if (result != 0) LogError("ERROR: Relaying thread ended: waiting for the queue folder failed.");
      break;  // the stop event, or a failed wait
    }
    scan_at = platform::TickCountMs() + scan_ms;
  }
  m_pWatch = nullptr;
  watch.Close();
}

void CRelayThread::Impl::LogWatchFailure(const platform::DirWatch& watch, int scan_interval) {
  LogError(text::Format("ERROR: Cannot watch the queue folder (%s); scanning it every %d seconds.",
                        watch.ErrorText().c_str(), scan_interval));
}

void CRelayThread::Impl::Log(const std::string& text) {
  if (m_Owner.m_nLogLevel.load(std::memory_order_relaxed) < LOG_TRACE) return;
  platform::PostText(m_Owner.m_hNotifyWindow, WM_MAIL_LOG_TRACE, "<RELAY> " + text,
                     static_cast<LPARAM>(platform::CurrentThreadId()));
}

void CRelayThread::Impl::LogError(const std::string& text) {
  platform::PostText(m_Owner.m_hNotifyWindow, WM_MAIL_LOG_ERROR, "<RELAY> " + text,
                     static_cast<LPARAM>(platform::CurrentThreadId()));
}

void CRelayThread::Impl::Courier::OnDisconnected() {
  m_Impl.Log("Disconnected from SMTP server.");
  m_DisconnectEvent.Set();
}

std::string CRelayThread::Impl::QueueFolder() const {
  return platform::StripTrailingSeparators(m_Owner.m_strQueueFolder);
}

bool CRelayThread::Impl::CheckForNewFiles() {
  // Entries whose file is gone leave the snapshot; the others are brought up
  // to date (a changed size or time is no reason for a pass).
  std::erase_if(m_arrSnapshot, [](FileStatus& status) {
    platform::FindEntry entry;
    if (!platform::GetFileStatus(status.path, entry)) return true;
    status.creation_time = entry.creation_time;
    status.last_write_time = entry.last_write_time;
    status.last_access_time = entry.last_access_time;
    status.size = entry.size;
    return false;
  });

  const std::string folder = QueueFolder();
  std::vector<platform::FindEntry> entries;
  platform::ListFolder(folder, entries);
  bool added = false;
  for (const platform::FindEntry& entry : entries) {
    if (entry.is_directory || IsDotEntry(entry.name)) continue;
    const std::string path = folder + "\\" + entry.name;
    const bool known = std::any_of(m_arrSnapshot.begin(), m_arrSnapshot.end(), [&](const FileStatus& status) {
      return text::EqualsNoCase(status.path, path);
    });
    if (known) continue;
    m_arrSnapshot.push_back(
        FileStatus{entry.creation_time, entry.last_write_time, entry.last_access_time, entry.size, path});
    added = true;
  }
  return added;
}

bool CRelayThread::Impl::QueueHoldsFiles() const {
  std::vector<platform::FindEntry> entries;
  platform::ListFolder(QueueFolder(), entries);
  return std::any_of(entries.begin(), entries.end(), [this](const platform::FindEntry& entry) {
    return !entry.is_directory && !IsDotEntry(entry.name) && !m_mapWaiting.contains(entry.name);
  });
}
