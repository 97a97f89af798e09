// The spool file of one received message: "<MailFolder>\drop\<queue id>.eml",
// an envelope ("x-sender:", one "x-receiver:" per recipient, a two-line
// "Received:" header) followed by the message text in transfer form.
//
// A spool file is written in the mail folder's ".tmp" folder, as a file made
// ahead of time without a name (see store/ready_files.h) or else under a
// temporary name, and appears in the drop folder complete or not at all:
// Commit writes the data to the device, links or renames the file into
// place and then syncs it and the drop folder, so a message answered
// "250 OK: Queued as" survives a crash or a power cut.
//
// Why this order costs one journal commit where "sync, rename, sync the
// folder" cost two: the file's sync after the rename commits the journal
// with its size, its blocks and its new name together, and the folder's
// sync then finds that commit done (only the device's cache is flushed).
// Sessions that sync at the same time share the commit the kernel is
// making. The name may be durable before the data only if the data was not
// written before the rename, so the write-back (which also reports any
// write error of the file) comes first. A large message keeps its unwritten
// data small while it streams in (WriteBehind). The drop folder's sync runs
// beside the file's on a thread of its own, shared by the sessions that
// commit at about the same time. The drop folder is held open: names are
// made in it and it is synced through that descriptor, and a folder that
// is replaced or removed meanwhile is opened anew at the next Begin.
//
// A committed file stays open, locked, with the recipients its envelope
// names, for the delivery of its path (store/handed_spool_files.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "store/envelope_run.h"

// Written after "by " in the Received header when the session has no local
// domain: the name every host gives itself, so the header stays well formed
// without pretending to be some other machine.
inline constexpr const char* kPlaceholderDomain = "localhost";

// Ends what the sessions writing spool files share (the drop folder's sync
// thread, the files made ahead of time, see store/ready_files.h): a stopped
// server keeps none of it. The next spool file starts them anew.
void ReleaseSpoolFolder();

struct CSpoolFolder;

// 32 upper-case hexadecimal digits from a new random GUID.
std::string CreateQueueId();

// A calendar time in UTC.
struct UtcTime {
  int year = 1970;
  int month = 1;    // 1..12
  int day = 1;      // 1..31
  int weekday = 4;  // 0 Sunday .. 6 Saturday
  int hour = 0;
  int minute = 0;
  int second = 0;
};
UtcTime UtcTimeFromUnix(std::int64_t seconds);
UtcTime CurrentUtcTime();
// "Sun, 06 Nov 1994 08:49:37 GMT" (day names and months in English).
std::string FormatGmtDate(const UtcTime& time);

// The envelope text that precedes the message text, every line ending in
// CR LF; `date` goes on the second line of the Received header.
std::string BuildSpoolEnvelope(std::string_view sender, const std::vector<std::string>& recipients,
                               std::string_view helo, std::string_view peer_address,
                               std::string_view by_domain, std::string_view server_id,
                               std::string_view date);

// One spool file while it is being written.
class CSpoolFile {
 public:
  // Creates the drop folder when missing and the temporary file. False (and
  // HasFailed) when the temporary file cannot be created.
  bool Begin(std::string_view mail_folder, std::string_view queue_id);
  // Marks the file as failed without touching the disk (no mail folder).
  void Fail();
  bool IsOpen() const { return m_bOpen; }
  // A Begin or Write failed since the last Abandon: the message cannot be kept.
  bool HasFailed() const { return m_bFailed; }
  // Appends bytes; on failure the temporary file is removed and HasFailed.
  bool Write(std::string_view bytes);
  // Makes the file durable under its final name and keeps it for its
  // delivery (see above). On failure the temporary file is removed and
  // nothing stays under the final name.
  bool Commit();
  // Drops the temporary file and the failure mark (a session that ends or
  // resets mid-message, or the next message).
  void Abandon();

  const std::string& QueueId() const { return m_strQueueId; }
  // Full path text of the file in the drop folder.
  const std::string& Path() const { return m_strPath; }

 private:
  // The envelope run of the bytes written, scanned as a reader of the file
  // scans it.
  struct EnvelopeScan {
    std::vector<std::string> recipients;
    CEnvelopeRun run{&recipients};
  };

  platform::AtomicFileWriter m_Writer;
  std::shared_ptr<CSpoolFolder> m_pFolder;  // from Begin to the end of the write
  std::unique_ptr<EnvelopeScan> m_pEnvelope;  // the recipients of the bytes written so far
  std::string m_strQueueId;
  std::string m_strPath;
  bool m_bOpen = false;
  bool m_bFailed = false;
};
