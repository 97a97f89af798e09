// CRelayThread: the thread's life and the watch on the queue folder.
//
// The thread waits for a change notification on the queue folder or for its
// stop event, at most the scan interval. A change starts a queue pass when a
// file name appeared that the snapshot does not hold; the time-out starts a
// pass when the folder holds any file at all (one whose arrival was missed).
// When the folder cannot be watched the time-out alone serves it. A pass
// looks at the stop event between files and between recipients; the
// transaction in progress runs to its end first.
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
  // The stop event first: a client wait that begins after the disconnect
  // event was cleared for its transfer still sees the stop.
  m_pImpl->m_StopEvent.Set();
  m_pImpl->m_DisconnectEvent.Set();
  Ended().Wait(platform::INFINITE_WAIT);
}

void CRelayThread::Run() { m_pImpl->Run(); }

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
  m_arrSnapshot.clear();
  if (CheckForNewFiles()) ProcessQueue();

  for (;;) {
    // The stop event comes first, so that a steady stream of new mail cannot
    // keep the thread from ending.
    std::vector<platform::Waitable*> objects{&m_StopEvent};
    if (watch.IsOpen()) objects.push_back(&watch);
    const int result = platform::WaitForAny(objects, scan_ms);
    if (result == 1) {
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
  }
  watch.Close();
  m_pClient.reset();
}

void CRelayThread::Impl::LogWatchFailure(const platform::DirWatch& watch, int scan_interval) {
  LogError(text::Format("ERROR: Cannot watch the queue folder (%s); scanning it every %d seconds.",
                        watch.ErrorText().c_str(), scan_interval));
}

void CRelayThread::Impl::Log(const std::string& text) {
  platform::PostText(m_Owner.m_hNotifyWindow, WM_MAIL_LOG_TRACE, "<RELAY> " + text,
                     static_cast<LPARAM>(platform::CurrentThreadId()));
}

void CRelayThread::Impl::LogError(const std::string& text) {
  platform::PostText(m_Owner.m_hNotifyWindow, WM_MAIL_LOG_ERROR, "<RELAY> " + text,
                     static_cast<LPARAM>(platform::CurrentThreadId()));
}

void CRelayThread::Impl::OnConnected() { Log("Connected to SMTP server."); }

void CRelayThread::Impl::OnDisconnected() {
  Log("Disconnected from SMTP server.");
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
  return std::any_of(entries.begin(), entries.end(), [](const platform::FindEntry& entry) {
    return !entry.is_directory && !IsDotEntry(entry.name);
  });
}
