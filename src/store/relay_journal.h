// The relay journal of a queued file: what became of each of its recipients,
// so that a recipient a server has accepted is never sent the message again,
// whatever happens to the file afterwards (a crash, a stop, a delete that
// fails). It lives in the folder "journal" of the queue folder, under the
// queued file's name; the queue pass never takes a folder for mail, and
// writes there do not wake the watch on the queue folder.
//
// Format: text lines ending in LF. The first line is kRelayJournalHeader.
// Each further line is one record of fields separated by TAB: the state,
// the recipient, then any number of "name=value" fields (kept in order, for
// states and facts a later version adds: a next-try time, a try count, the
// last reply). In the recipient and in values, "%", TAB, CR and LF are
// written as "%25", "%09", "%0D" and "%0A". Records are appended, each synced
// before the relay goes on; a later record of a recipient replaces the
// earlier one. A last line without its LF was cut short by a crash and is
// ignored.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/files.h"

inline constexpr const char* kRelayJournalFolder = "journal";
inline constexpr std::string_view kRelayJournalHeader = "quillpost relay journal 1";

// States the relay writes. A recipient with any state has been handled.
inline constexpr std::string_view kRecipientDelivered = "delivered";  // a server accepted it
inline constexpr std::string_view kRecipientFailed = "failed";  // none did: the bad-mail copy stands for it
// A temporary failure: the recipient is tried again at its next-try time
// (written only while the relay retries, RetryFor above "0").
inline constexpr std::string_view kRecipientDeferred = "deferred";

// Fields of the retry schedule. Times are seconds since 1970 (UTC).
inline constexpr std::string_view kFieldTries = "tries";  // attempts made so far
inline constexpr std::string_view kFieldFirstTry = "first";
inline constexpr std::string_view kFieldNextTry = "next";
inline constexpr std::string_view kFieldReply = "reply";  // the last reply, or why no server answered
// On a failed recipient: "due" while the report to the sender is still to
// be sent, "sent" once it is queued.
inline constexpr std::string_view kFieldBounce = "bounce";
inline constexpr std::string_view kBounceDue = "due";
inline constexpr std::string_view kBounceSent = "sent";
inline constexpr std::string_view kBounceNone = "none";  // no sender to send it to

struct RelayJournalRecord {
  std::string state;
  std::string recipient;
  std::vector<std::pair<std::string, std::string>> fields;  // further "name=value" fields

  bool operator==(const RelayJournalRecord&) const = default;
};

// The value of a record's field (the last of that name), or empty.
std::string RelayJournalField(const RelayJournalRecord& record, std::string_view name);
// A number field, or 0 when it is missing or no number.
long long RelayJournalNumber(const RelayJournalRecord& record, std::string_view name);
// Sets a field, replacing any of that name.
void SetRelayJournalField(RelayJournalRecord& record, std::string_view name, std::string value);

// "<queue folder>\journal\" and the journal of one queued file in it.
std::string RelayJournalFolder(std::string_view queue_folder);
std::string RelayJournalPath(std::string_view queue_folder, std::string_view file_name);

// One record as a line (with its LF), and back (the line without its LF);
// false for a line that is no record (fewer than two fields).
std::string FormatRelayJournalRecord(const RelayJournalRecord& record);
bool ParseRelayJournalLine(std::string_view line, RelayJournalRecord& record);

// The current record of every recipient in the journal at `path`, in the
// order the recipients first appear. A journal that does not exist is empty;
// false (with LastFileError) when it exists but cannot be read.
bool ReadRelayJournal(std::string_view path, std::vector<RelayJournalRecord>& records);

// Replaces the journal of one queued file with these records (the current
// one of each recipient): every try of a retried recipient appends a line,
// and a journal is read whole. The new journal appears complete or not at
// all (written in `temp_folder`, on the queue's file system, then renamed).
// False (with LastFileError) when the old one stays.
bool RewriteRelayJournal(std::string_view queue_folder, std::string_view file_name,
                         const std::vector<RelayJournalRecord>& records, std::string_view temp_folder);

// Appends records to the journal of one queued file, creating it (and the
// journal folder) at the first.
class CRelayJournalWriter {
 public:
  CRelayJournalWriter(std::string_view queue_folder, std::string_view file_name);

  // Writes the record and syncs it (and, for a new journal, its folder);
  // false (with LastFileError) when it may not be on disk.
  bool Append(const RelayJournalRecord& record);
  // An Append has been tried: the journal may exist from then on.
  bool Started() const { return m_bStarted; }

 private:
  bool Open();

  std::string m_strQueueFolder;
  std::string m_strFolder;
  std::string m_strPath;
  platform::File m_File;
  bool m_bNameSynced = false;
  bool m_bStarted = false;
};
