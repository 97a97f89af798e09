// Spool file naming, envelope text and the atomic write (see spool_file.h).
#include "store/spool_file.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "store/handed_spool_files.h"
#include "store/mail_store.h"
#include "store/ready_files.h"
#include "store/shared_folder_sync.h"
#include "common/text.h"
#include "platform/guid.h"

namespace {

// The unwritten data a large message may leave for the sync of a batch
// (see AtomicFileWriter::WriteBehind): at about 100 MB/s, some 10 ms per MiB.
constexpr std::uint64_t kWriteBehindWindow = 1024 * 1024;

constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Spool files made ahead of time: enough for a burst of sessions that end
// their messages together.
constexpr std::size_t kReadySpoolFiles = 16;

}  // namespace

// What the sessions writing into one drop folder share: the folder's syncs,
// run by a thread of their own (a sync asked for while one runs covers the
// names of every session that asked meanwhile), and the files made ahead
// for them. One at a time, for the mail folder in use; a session keeps the
// one it began with until its commit.
struct CSpoolFolder {
  CSpoolFolder(const std::string& temp, const std::string& drop_folder)
      : drop(drop_folder),
        folder(platform::Folder::Open(drop_folder)),
        ready_files(temp, drop_folder, kReadySpoolFiles) {
    if (folder.IsOpen()) sync.Hold(folder);
    sync.Start(drop);
  }

  const std::string drop;
  const platform::Folder folder;  // the drop folder, held open (closed: it could not be opened)
  CSharedFolderSync sync;
  CReadyFiles ready_files;
  std::atomic<int> committing{0};  // sessions between their rename and their reply
};

namespace {

// Counts a session among those committing, for as long as it is.
class CCommitting {
 public:
  explicit CCommitting(std::atomic<int>& count) : m_Count(count), m_bAlone(count.fetch_add(1) == 0) {}
  ~CCommitting() { m_Count.fetch_sub(1); }
  CCommitting(const CCommitting&) = delete;
  CCommitting& operator=(const CCommitting&) = delete;
  bool Alone() const { return m_bAlone; }

 private:
  std::atomic<int>& m_Count;
  const bool m_bAlone;
};

std::mutex g_FolderLock;
std::shared_ptr<CSpoolFolder> g_pFolder;  // the mail folder in use

std::shared_ptr<CSpoolFolder> SpoolFolderFor(const std::string& temp, const std::string& drop) {
  std::shared_ptr<CSpoolFolder> current;
  {
    std::lock_guard<std::mutex> guard(g_FolderLock);
    current = g_pFolder;
  }
  // One look at the disk per message, made outside the lock: the folder
  // held open is still the one the path names.
  if (current && current->drop == drop && current->folder.IsStillAt()) return current;
  std::lock_guard<std::mutex> guard(g_FolderLock);
  // Another session may have opened it anew meanwhile.
  if (g_pFolder != current && g_pFolder && g_pFolder->drop == drop) return g_pFolder;
  CreateFolderPath(drop);  // false when it already exists: no error
  g_pFolder = std::make_shared<CSpoolFolder>(temp, drop);
  return g_pFolder;
}

}  // namespace

void ReleaseSpoolFolder() {
  ReleaseHandedSpoolFiles();
  std::shared_ptr<CSpoolFolder> released;
  std::lock_guard<std::mutex> guard(g_FolderLock);
  released.swap(g_pFolder);
}

std::string CreateQueueId() {
  std::string id;
  for (char c : platform::NewGuidText()) {
    if (c != '-' && c != '{' && c != '}') id.push_back(c);
  }
  return id;
}

UtcTime UtcTimeFromUnix(std::int64_t seconds) {
  using namespace std::chrono;
  const sys_seconds point{std::chrono::seconds{seconds}};
  const sys_days days = floor<std::chrono::days>(point);
  const year_month_day date{days};
  const hh_mm_ss<std::chrono::seconds> clock{point - days};
  UtcTime time;
  time.year = static_cast<int>(date.year());
  time.month = static_cast<int>(static_cast<unsigned>(date.month()));
  time.day = static_cast<int>(static_cast<unsigned>(date.day()));
  time.weekday = static_cast<int>(weekday{days}.c_encoding());
  time.hour = static_cast<int>(clock.hours().count());
  time.minute = static_cast<int>(clock.minutes().count());
  time.second = static_cast<int>(clock.seconds().count());
  return time;
}

UtcTime CurrentUtcTime() {
  using namespace std::chrono;
  return UtcTimeFromUnix(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

std::string FormatGmtDate(const UtcTime& time) {
  const char* day = (time.weekday >= 0 && time.weekday < 7) ? kDayNames[time.weekday] : "???";
  const char* month = (time.month >= 1 && time.month <= 12) ? kMonthNames[time.month - 1] : "???";
  return text::Format("%s, %02d %s %d %02d:%02d:%02d GMT", day, time.day, month, time.year,
                      time.hour, time.minute, time.second);
}

std::string BuildSpoolEnvelope(std::string_view sender, const std::vector<std::string>& recipients,
                               std::string_view helo, std::string_view peer_address,
                               std::string_view by_domain, std::string_view server_id,
                               std::string_view date) {
  std::string envelope;
  envelope.append("x-sender: ").append(sender).append("\r\n");
  for (const std::string& recipient : recipients) {
    envelope.append("x-receiver: ").append(recipient).append("\r\n");
  }
  envelope.append("Received: from ").append(helo);
  envelope.append(" ([").append(peer_address).append("]) by ").append(by_domain);
  envelope.append(" with ").append(server_id).append(";\r\n\t");
  envelope.append(date).append("\r\n");
  return envelope;
}

bool CSpoolFile::Begin(std::string_view mail_folder, std::string_view queue_id) {
  Abandon();
  const std::string drop = MailSubfolder(mail_folder, kDropFolder);
  m_strQueueId = std::string(queue_id);
  m_strPath = drop + m_strQueueId + ".eml";
  // The writer makes its temporary folder when missing (drop, made when
  // missing, is beside it).
  const std::string temp = MailSubfolder(mail_folder, kTempFolder);
  m_pFolder = SpoolFolderFor(temp, drop);
  const platform::Folder& folder = m_pFolder->folder;
  platform::File ready = m_pFolder->ready_files.Take();
  m_bOpen = ready.IsOpen() ? m_Writer.BeginReady(std::move(ready), folder, m_strQueueId + ".eml")
                           : m_Writer.BeginNew(temp, folder, m_strQueueId + ".eml");
  m_bFailed = !m_bOpen;
  if (m_bOpen) m_pEnvelope = std::make_unique<EnvelopeScan>();
  return m_bOpen;
}

void CSpoolFile::Fail() {
  Abandon();
  m_bFailed = true;
}

bool CSpoolFile::Write(std::string_view bytes) {
  if (!m_bOpen) return false;
  if (bytes.empty()) return true;
  if (m_Writer.Write(bytes) && m_Writer.WriteBehind(kWriteBehindWindow)) {
    if (!m_pEnvelope->run.Ended()) m_pEnvelope->run.Feed(bytes);
    return true;
  }
  Fail();
  return false;
}

bool CSpoolFile::Commit() {
  if (!m_bOpen) return false;
  m_bOpen = false;
  if (m_Writer.RenameWrittenBack()) {
    // Both syncs begin after the rename. A session alone has the folder's
    // sync run by its thread while it syncs its file, so that the disk
    // serves the two with one flush of its cache. Sessions that commit at
    // the same moment share the folder's sync one of them runs after its
    // file's: handing it to that thread and being woken by it would cost
    // each of them more than the sync.
    CSharedFolderSync& folder_sync = m_pFolder->sync;
    const CCommitting committing(m_pFolder->committing);
    const std::uint64_t ticket = committing.Alone() ? folder_sync.Ask() : folder_sync.Next();
    platform::File written;
    const bool file_synced = m_Writer.SyncRenamed(&written);
    // Waited for even when the file's sync failed: the name goes below.
    const bool folder_synced = committing.Alone() ? folder_sync.Wait(m_pFolder->drop, ticket)
                                                  : folder_sync.RunOrWait(m_pFolder->drop, ticket);
    if (file_synced && folder_synced) {
      m_pEnvelope->run.Finish();
      KeepHandedSpoolFile(m_strPath, HandedSpoolFile{std::move(m_pEnvelope->recipients), std::move(written)});
      return true;
    }
  }
  // The rename may have happened before a sync failed: the name is a fresh
  // GUID, so whatever stands under it is this unfinished file.
  m_Writer.Abandon();
  m_pFolder->folder.DeleteFile(m_strQueueId + ".eml");
  m_bFailed = true;
  return false;
}

void CSpoolFile::Abandon() {
  m_Writer.Abandon();
  m_pFolder.reset();
  m_pEnvelope.reset();
  m_bOpen = false;
  m_bFailed = false;
}
