// The senders of a queue pass: a few threads, each taking one queued file
// at a time and handling it whole (its recipients one transaction each, its
// journal, bad-mail copy, report and deletion), so that several
// transactions are open at once and the queue drains at the rate the
// receivers accept. The relay thread hands the files out in the schedule's
// order (relay_schedule.h) and notes the files whose recipients wait.
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

// What the relay thread and its senders share during a pass.
struct CRelayThread::Impl::PassQueue {
  std::mutex lock;
  std::condition_variable handed_out;
  // A file handed out and not taken yet: its place in the pass, its entry,
  // and whether its journal was listed.
  struct Item {
    std::size_t index = 0;
    platform::FindEntry entry;
    bool journal = false;
  };
  std::deque<Item> ready;
  std::vector<std::pair<std::size_t, std::time_t>> done;  // a file and its next try (0: none)
  bool closing = false;  // no more files: the senders end
  platform::Event done_event{false};  // automatic reset: `done` grew
};

class CRelayThread::Impl::Sender : public platform::Thread {
 public:
  Sender(CRelayThread::Impl& impl, PassQueue& queue, const std::string& folder)
      : m_Impl(impl), m_Queue(queue), m_strFolder(folder) {}

 protected:
  void Run() override {
    CRelayThread::Impl::Courier courier(m_Impl);
    for (;;) {
      PassQueue::Item item;
      {
        std::unique_lock<std::mutex> lock(m_Queue.lock);
        m_Queue.handed_out.wait(lock, [&] { return m_Queue.closing || !m_Queue.ready.empty(); });
        if (m_Queue.ready.empty()) return;
        item = std::move(m_Queue.ready.front());
        m_Queue.ready.pop_front();
      }
      const std::time_t next_try = m_Impl.ProcessFile(courier, m_strFolder, item.entry, item.journal);
      {
        std::lock_guard<std::mutex> lock(m_Queue.lock);
        m_Queue.done.emplace_back(item.index, next_try);
      }
      m_Queue.done_event.Set();
    }
  }

 private:
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
  CRelaySchedule schedule(kPerHost);
  // What this pass has taken up (a file once per pass, as it leaves the
  // queue or is left for a later one), with each file's destination.
  std::set<std::string> taken;
  std::vector<platform::FindEntry> entries;
  std::vector<std::string> destinations;
  std::vector<bool> journals;  // whether each file's journal was listed
  auto take_up = [&](std::vector<platform::FindEntry> found) {
    // Only the sender that has a file writes its journal, and a pass takes a
    // file up once: a journal not listed now cannot appear before then.
    const std::set<std::string> journal_names = found.empty() ? std::set<std::string>() : JournalNames(folder);
    for (platform::FindEntry& entry : found) {
      journals.push_back(journal_names.contains(text::ToLower(entry.name)));
      // Taken up now: a file that waited no longer does, whatever comes of it.
      m_mapWaiting.erase(entry.name);
      taken.insert(entry.name);
      destinations.push_back(DestinationOf(folder + "\\" + entry.name));
      schedule.Add(destinations.back(), entries.size());
      entries.push_back(std::move(entry));
    }
  };
  take_up(DueFiles(folder, taken));
  if (entries.empty()) return;
  // The journal folder is made before the senders look for journals: a name
  // looked up in a folder that is not there is searched for among all the
  // queue folder's entries (names match without regard to case). Its own
  // name is synced, as a journal's writer would.
  if (CreateFolderPath(RelayJournalFolder(folder))) platform::SyncDirectory(folder);

  m_HostSlots.Reset();
  PassQueue queue;
  std::vector<std::unique_ptr<Sender>> senders;
  for (int i = 0; i < kSenders; ++i) {
    auto sender = std::make_unique<Sender>(*this, queue, folder);
    if (sender->Start()) senders.push_back(std::move(sender));
  }
  if (senders.empty()) {
    LogError("ERROR: No sender thread could be started; the queue stays for the next pass.");
    return;
  }
  m_QueueFolderSync.Start(folder);
  m_QueueDir = platform::Folder::Open(folder);

  // Files that arrive during the pass join it: the senders go on while the
  // receivers accept, and one slow transaction holds up no other file. The
  // folder is listed again once the files known are handed out, and at
  // most every kRelistMs: a burst of arrivals costs a few listings, not one
  // each.
  bool watching = m_pWatch && m_pWatch->IsOpen();
  bool arrived = false;
  std::uint64_t listed_at = platform::TickCountMs();
  std::size_t running = 0;
  bool stopping = false;
  bool cut = false;
  std::uint64_t cut_at = 0;
  for (;;) {
    if (!stopping && StopRequested()) {
      stopping = true;
      if (schedule.Waiting()) Log("Stopping: the rest of the queue stays for the next start.");
      m_HostSlots.Cancel();
      cut_at = platform::TickCountMs() + kStopGraceMs;
    }
    while (!stopping && running < senders.size()) {
      const std::optional<std::size_t> next = schedule.Next();
      if (!next) break;
      {
        std::lock_guard<std::mutex> lock(queue.lock);
        queue.ready.push_back({*next, entries[*next], journals[*next]});
      }
      queue.handed_out.notify_one();
      ++running;
    }
    if (running == 0) {
      // Files that came while the last ones were sent are not left behind.
      if (!arrived || stopping) break;
      arrived = false;
      listed_at = platform::TickCountMs();
      take_up(DueFiles(folder, taken));
      continue;
    }

    if (!stopping) {
      std::vector<platform::Waitable*> objects{&m_StopEvent, &queue.done_event};
      if (watching && !arrived) objects.push_back(m_pWatch);
      DWORD wait_ms = platform::INFINITE_WAIT;
      if (arrived && !schedule.Waiting()) {
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
      if (arrived && !schedule.Waiting() && platform::TickCountMs() >= listed_at + kRelistMs) {
        arrived = false;
        listed_at = platform::TickCountMs();
        take_up(DueFiles(folder, taken));
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

    std::vector<std::pair<std::size_t, std::time_t>> done;
    {
      std::lock_guard<std::mutex> lock(queue.lock);
      done.swap(queue.done);
    }
    for (const auto& [item, next_try] : done) {
      schedule.Done(destinations[item]);
      --running;
      if (next_try != 0) m_mapWaiting[entries[item].name] = next_try;
    }
  }

  {
    std::lock_guard<std::mutex> lock(queue.lock);
    queue.closing = true;
  }
  queue.handed_out.notify_all();
  for (const auto& sender : senders) sender->Ended().Wait(platform::INFINITE_WAIT);
  m_QueueDir.Close();
  // The deletions of the pass are all durable when it ends.
  if (!m_QueueFolderSync.Stop())
    LogError(text::Format("ERROR: Cannot sync the queue folder: %s",
                          text::TrimRight(SystemErrorText(platform::LastFileError())).c_str()));
}
