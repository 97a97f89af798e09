// Spool file naming, envelope text and the atomic write (see spool_file.h).
#include "store/spool_file.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>

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

// The drop folder's syncs, run by a thread of their own for every session
// (one per mail folder the server has used). A sync asked for while one
// runs covers the names of every session that asked meanwhile.
CSharedFolderSync& DropFolderSync(const std::string& drop) {
  static std::mutex lock;
  static std::map<std::string, std::unique_ptr<CSharedFolderSync>> syncs;
  std::lock_guard<std::mutex> guard(lock);
  std::unique_ptr<CSharedFolderSync>& sync = syncs[drop];
  if (!sync) {
    sync = std::make_unique<CSharedFolderSync>();
    sync->Start(drop);
  }
  return *sync;
}

// Spool files made ahead of time: enough for a burst of sessions that end
// their messages together. One stock, for the mail folder in use: when the
// folder changes, the old stock goes with its files.
constexpr std::size_t kReadySpoolFiles = 16;

std::mutex g_StockLock;
std::string g_strStockDrop;
std::shared_ptr<CReadyFiles> g_pStock;

platform::File ReadySpoolFile(const std::string& temp, const std::string& drop) {
  std::shared_ptr<CReadyFiles> current;
  {
    std::lock_guard<std::mutex> guard(g_StockLock);
    if (!g_pStock || g_strStockDrop != drop) {
      g_pStock = std::make_shared<CReadyFiles>(temp, drop, kReadySpoolFiles);
      g_strStockDrop = drop;
    }
    current = g_pStock;
  }
  return current->Take();
}

}  // namespace

void ReleaseReadySpoolFiles() {
  std::shared_ptr<CReadyFiles> released;
  std::lock_guard<std::mutex> guard(g_StockLock);
  released.swap(g_pStock);
  g_strStockDrop.clear();
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
  CreateFolderPath(drop);  // false when it already exists: no error
  m_strDropFolder = drop;
  m_strQueueId = std::string(queue_id);
  m_strPath = drop + m_strQueueId + ".eml";
  // The writer makes its temporary folder when missing (drop, made above, is
  // beside it).
  const std::string temp = MailSubfolder(mail_folder, kTempFolder);
  platform::File ready = ReadySpoolFile(temp, drop);
  m_bOpen = ready.IsOpen() ? m_Writer.BeginReady(std::move(ready), drop, m_strQueueId + ".eml")
                           : m_Writer.BeginNew(temp, drop, m_strQueueId + ".eml");
  m_bFailed = !m_bOpen;
  return m_bOpen;
}

void CSpoolFile::Fail() {
  Abandon();
  m_bFailed = true;
}

bool CSpoolFile::Write(std::string_view bytes) {
  if (!m_bOpen) return false;
  if (bytes.empty()) return true;
  if (m_Writer.Write(bytes) && m_Writer.WriteBehind(kWriteBehindWindow)) return true;
  Fail();
  return false;
}

bool CSpoolFile::Commit() {
  if (!m_bOpen) return false;
  m_bOpen = false;
  if (m_Writer.RenameWrittenBack()) {
    // The folder's sync and the file's run at once: both begin after the
    // rename, and the disk serves the two with one flush of its cache.
    CSharedFolderSync& folder_sync = DropFolderSync(m_strDropFolder);
    const std::uint64_t ticket = folder_sync.Ask();
    const bool file_synced = m_Writer.SyncRenamed();
    // Waited for even when the file's sync failed: the name goes below.
    const bool folder_synced = folder_sync.Wait(m_strDropFolder, ticket);
    if (file_synced && folder_synced) return true;
  }
  // The rename may have happened before a sync failed: the name is a fresh
  // GUID, so whatever stands under it is this unfinished file.
  m_Writer.Abandon();
  platform::DeleteFile(m_strPath);
  m_bFailed = true;
  return false;
}

void CSpoolFile::Abandon() {
  m_Writer.Abandon();
  m_bOpen = false;
  m_bFailed = false;
}
