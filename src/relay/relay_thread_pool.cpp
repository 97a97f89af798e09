// The senders of a queue pass: a few threads, each taking one queued file
// at a time and handling it whole (its recipients one transaction each, its
// journal, bad-mail copy, report and deletion), so that several
// transactions are open at once and the queue drains at the rate the
// receivers accept. The relay thread takes the files of the queue folder up
// into the pass and notes the files whose recipients wait; the senders take
// them in the schedule's order (relay_schedule.h).
//
// The senders live for one pass: when it ends, every one of them has been
// joined, and nothing of the pass runs on. A stop hands out no more files;
// the transactions in progress get kStopGraceMs to end, then the relay
// thread posts each sender a quit, which ends its waits for the server: the
// recipient it was sending to stays open in the journal, and its file in
// the queue.
#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/address.h"
#include "common/system_messages.h"
#include "common/text.h"
#include "platform/dir_watch.h"
#include "platform/files.h"
#include "platform/messages.h"
#include "relay/relay_message.h"
#include "relay/relay_thread_impl.h"
#include "store/mail_store.h"
#include "store/relay_journal.h"

// What the relay thread and its senders share during a pass, under `lock`.
// A sender that ends a file takes the next one itself: the relay thread is
// woken to take up files that arrived once the known ones are taken, to end
// the pass and to stop it, not for every file.
struct CRelayThread::Impl::PassQueue {
  // A file taken up by the pass: its entry, its destination, and whether
  // its journal was listed.
  struct Item {
    platform::FindEntry entry;
    std::string destination;
    bool journal = false;
  };

  explicit PassQueue(int per_destination) : schedule(per_destination) {}

  // The next file a sender may take, counted as running; none while the
  // pass stops or when the schedule has none to give.
  std::optional<std::size_t> Take() {
    if (stopping) return std::nullopt;
    const std::optional<std::size_t> next = schedule.Next();
    if (next) ++running;
    return next;
  }

  std::mutex lock;
  std::condition_variable handed_out;  // files were taken up, or the pass ends
  CRelaySchedule schedule;
  std::vector<Item> items;  // every file of the pass, by its place in the schedule
  std::size_t running = 0;  // files taken by senders and not ended yet
  std::vector<std::pair<std::size_t, std::time_t>> waiting;  // a file and its next try
  bool stopping = false;      // no more files are taken
  bool closing = false;       // the senders end
  bool want_drained = false;  // the relay thread waits for every known file to be taken
  platform::Event done_event{false};  // automatic reset: what the relay thread waits for happened
};

class CRelayThread::Impl::Sender : public platform::Thread {
 public:
  Sender(CRelayThread::Impl& impl, PassQueue& queue, const std::string& folder)
      : m_Impl(impl), m_Queue(queue), m_strFolder(folder) {}

 protected:
  void Run() override {
    CRelayThread::Impl::Courier courier(m_Impl);
    std::unique_lock<std::mutex> lock(m_Queue.lock);
    std::optional<std::size_t> next = m_Queue.Take();
    for (;;) {
      if (!next) {
        TellRelayThread(false);
        m_Queue.handed_out.wait(lock, [&] { return m_Queue.closing || (next = m_Queue.Take()); });
        if (!next) return;
      }
      // Whichever take it was, this one may have left nothing waiting.
      TellRelayThread(true);
      const std::size_t index = *next;
      const PassQueue::Item item = m_Queue.items[index];
      lock.unlock();
      const std::time_t next_try = m_Impl.ProcessFile(courier, m_strFolder, item.entry, item.journal);
      lock.lock();
      m_Queue.schedule.Done(item.destination);
      --m_Queue.running;
      if (next_try != 0) m_Queue.waiting.emplace_back(index, next_try);
      // The slot this file held goes to the next file of its destination,
      // which this sender takes itself; a file that could run beside it
      // goes to an idle sender.
      next = m_Queue.Take();
      if (next && m_Queue.schedule.Ready() > 0) m_Queue.handed_out.notify_one();
    }
  }

 private:
  // With the lock held, after a try to take a file: wakes the relay thread
  // when what it waits for has come, that every file it knows is taken
  // (it then lists the folder again) or that none runs any more.
  void TellRelayThread(bool took) {
    const bool drained = m_Queue.want_drained && !m_Queue.schedule.Waiting();
    if (!drained && (took || m_Queue.running > 0)) return;
    m_Queue.want_drained = false;
    m_Queue.done_event.Set();
  }

  CRelayThread::Impl& m_Impl;
  PassQueue& m_Queue;
  const std::string m_strFolder;
};

std::string CRelayThread::Impl::DestinationOf(const std::string& path) {
  std::vector<std::string> recipients;
  if (ReadRecipients(path, recipients) != RecipientsRead::kFound) return {};
  for (const std::string& recipient : recipients) {
    if (IsLocalAddress(recipient, m_Owner.m_arrDomains)) continue;
    const std::string domain = text::ToLower(GetAddressDomain(recipient));
    const std::string servers = KnownMailServers(domain);
    return servers.empty() ? domain : servers;
  }
  return {};
}

std::vector<platform::FindEntry> CRelayThread::Impl::DueFiles(const std::string& folder,
                                                               const std::set<std::string>& taken) {
  std::vector<platform::FindEntry> entries;
  platform::ListFolder(folder, entries);
  const std::time_t now = std::time(nullptr);
  std::erase_if(entries, [&](const platform::FindEntry& entry) {
    if (entry.is_directory || entry.name == "." || entry.name == ".." || taken.contains(entry.name)) return true;
    const auto waiting = m_mapWaiting.find(entry.name);
    return waiting != m_mapWaiting.end() && waiting->second > now;
  });
  return entries;
}

std::set<std::string> CRelayThread::Impl::JournalNames(const std::string& folder) {
  std::vector<platform::FindEntry> entries;
  platform::ListFolder(RelayJournalFolder(folder), entries);
  std::set<std::string> names;
  for (const platform::FindEntry& entry : entries) names.insert(text::ToLower(entry.name));
  return names;
}

void CRelayThread::Impl::RunSenders(const std::string& folder) {
  PassQueue queue(kPerHost);
  // What this pass has taken up (a file once per pass, as it leaves the
  // queue or is left for a later one).
  std::set<std::string> taken;
  // Adds the files found to the pass and wakes as many idle senders as can
  // take one now; false when there were none.
  auto take_up = [&](std::vector<platform::FindEntry> found) {
    if (found.empty()) return false;
    // Only the sender that has a file writes its journal, and a pass takes a
    // file up once: a journal not listed now cannot appear before then.
    const std::set<std::string> journal_names = JournalNames(folder);
    std::vector<PassQueue::Item> items;
    for (platform::FindEntry& entry : found) {
      // Taken up now: a file that waited no longer does, whatever comes of it.
      m_mapWaiting.erase(entry.name);
      taken.insert(entry.name);
      const bool journal = journal_names.contains(text::ToLower(entry.name));
      std::string destination = DestinationOf(folder + "\\" + entry.name);
      items.push_back({std::move(entry), std::move(destination), journal});
    }
    std::size_t ready = 0;
    {
      std::lock_guard<std::mutex> lock(queue.lock);
      for (PassQueue::Item& item : items) {
        queue.schedule.Add(item.destination, queue.items.size());
        queue.items.push_back(std::move(item));
      }
      ready = queue.schedule.Ready();
    }
    for (std::size_t i = 0; i < std::min<std::size_t>(ready, kSenders); ++i) queue.handed_out.notify_one();
    return true;
  };
  // The files whose recipients wait, as the senders left them.
  auto note_waiting = [&] {
    std::vector<std::pair<std::size_t, std::time_t>> waiting;
    {
      std::lock_guard<std::mutex> lock(queue.lock);
      waiting.swap(queue.waiting);
    }
    for (const auto& [item, next_try] : waiting) m_mapWaiting[queue.items[item].entry.name] = next_try;
  };
  if (!take_up(DueFiles(folder, taken))) return;
  // The journal folder is made before the senders look for journals: a name
  // looked up in a folder that is not there is searched for among all the
  // queue folder's entries (names match without regard to case). Its own
  // name is synced, as a journal's writer would.
  if (CreateFolderPath(RelayJournalFolder(folder))) platform::SyncDirectory(folder);

  m_HostSlots.Reset();
  m_QueueFolderSync.Start(folder, kDeletionSyncGatherMs);
  m_QueueDir = platform::Folder::Open(folder);
  std::vector<std::unique_ptr<Sender>> senders;
  for (int i = 0; i < kSenders; ++i) {
    auto sender = std::make_unique<Sender>(*this, queue, folder);
    if (sender->Start()) senders.push_back(std::move(sender));
  }
  if (senders.empty()) {
    LogError("ERROR: No sender thread could be started; the queue stays for the next pass.");
    m_QueueDir.Close();
    m_QueueFolderSync.Stop();
    return;
  }

  // Files that arrive during the pass join it: the senders go on while the
  // receivers accept, and one slow transaction holds up no other file. The
  // folder is listed again once the files known are taken, and at most
  // every kRelistMs while files run: a burst of arrivals costs a few
  // listings, not one each.
  bool watching = m_pWatch && m_pWatch->IsOpen();
  bool arrived = false;
  std::uint64_t listed_at = platform::TickCountMs();
  bool stopping = false;
  bool cut = false;
  std::uint64_t cut_at = 0;
  for (;;) {
    if (!stopping && StopRequested()) {
      stopping = true;
      bool left = false;
      {
        std::lock_guard<std::mutex> lock(queue.lock);
        queue.stopping = true;
        left = queue.schedule.Waiting();
      }
      if (left) Log("Stopping: the rest of the queue stays for the next start.");
      m_HostSlots.Cancel();
      cut_at = platform::TickCountMs() + kStopGraceMs;
    }
    bool idle = false;     // no file runs
    bool drained = false;  // every known file is taken
    {
      std::lock_guard<std::mutex> lock(queue.lock);
      drained = !queue.schedule.Waiting();
      idle = queue.running == 0;
      // Asked for only while the relay thread waits to list the folder.
      queue.want_drained = arrived && !drained && !stopping;
    }
    if (idle && (stopping || (drained && !arrived))) break;
    if (!stopping && arrived && drained && (idle || platform::TickCountMs() >= listed_at + kRelistMs)) {
      // Files that came while the last ones were sent are not left behind.
      arrived = false;
      listed_at = platform::TickCountMs();
      take_up(DueFiles(folder, taken));
      continue;
    }

    if (!stopping) {
      std::vector<platform::Waitable*> objects{&m_StopEvent, &queue.done_event};
      if (watching && !arrived) objects.push_back(m_pWatch);
      DWORD wait_ms = platform::INFINITE_WAIT;
      if (arrived && drained) {
        const std::uint64_t now = platform::TickCountMs();
        wait_ms = listed_at + kRelistMs > now ? static_cast<DWORD>(listed_at + kRelistMs - now) : 0;
      }
      if (platform::WaitForAny(objects, wait_ms) == 2) {
        // As in the thread's loop: without a watch the scan serves the queue.
        if (!m_pWatch->Rearm()) {
          LogWatchFailure(*m_pWatch, m_nScanInterval);
          m_pWatch->Close();
          watching = false;
        }
        arrived = true;
      }
    } else {
      const std::uint64_t now = platform::TickCountMs();
      if (!cut && now >= cut_at) {
        // The grace is over: the senders' waits for their servers end now.
        for (const auto& sender : senders) platform::MessageQueue::Post(sender->Id(), WM_QUIT);
        cut = true;
      }
      queue.done_event.Wait(cut ? platform::INFINITE_WAIT : static_cast<DWORD>(cut_at - now));
    }
    note_waiting();
  }

  {
    std::lock_guard<std::mutex> lock(queue.lock);
    queue.closing = true;
  }
  queue.handed_out.notify_all();
  for (const auto& sender : senders) sender->Ended().Wait(platform::INFINITE_WAIT);
  note_waiting();
  m_QueueDir.Close();
  // The deletions of the pass are all durable when it ends.
  if (!m_QueueFolderSync.Stop())
    LogError(text::Format("ERROR: Cannot sync the queue folder: %s",
                          text::TrimRight(SystemErrorText(platform::LastFileError())).c_str()));
}
