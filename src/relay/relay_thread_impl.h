// The work of the relay thread, kept apart from CRelayThread's public shape:
// the queue pass, the delivery of one recipient, the mail-server lookup and
// the SMTP client it drives. A pass runs on the relay thread and hands its
// files to a pool of sender threads (relay_thread_pool.cpp), each with a
// Courier of its own for the transaction it has open; one file is handled
// by one sender from its first recipient to its deletion. What the senders
// share is read-only during a pass but for the mail-server map (under
// m_ServersLock), the per-host slots and the log, which is posted whole
// lines at a time. Only the stop event is touched from the server thread.
//
// The settings are read from the owner's public fields, which the server
// core sets before Start() and never changes afterwards; the mail-server map
// is the owner's and grows with the DNS results of this thread's life.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/dns_resolver.h"
#include "platform/dir_watch.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "relay/delivery_report.h"
#include "relay/relay_schedule.h"
#include "relay/relay_thread.h"
#include "relay/smtp_client.h"
#include "store/relay_journal.h"
#include "store/shared_folder_sync.h"

// The servers text for the exchangers of a DNS answer: the MX texts in
// order of preference (lowest first, equal ones in answer order), each the
// part after its first blank (the whole text when it has none) and a "|".
std::string MailServersFromDns(std::vector<std::string> results);

struct CRelayThread::Impl {
  // The port of every mail server the relay talks to.
  static constexpr int kSmtpPort = 25;
  // Transactions open at once: enough to keep a few slow receivers from
  // holding up the rest, few enough for a small machine. A sender waiting
  // for its server costs a thread and a socket, no processor time.
  static constexpr int kSenders = 16;
  // Transactions open at once to one mail server: enough that a receiver
  // which answers at once is kept busy while our own side reads and
  // deletes queued files (at 4 the queue fell behind the rate mail came
  // in); more would look like an attack to many receivers, who then slow
  // or refuse us.
  static constexpr int kPerHost = 8;
  // A stop lets the transactions in progress run this long to their end
  // (a reply to the text may take minutes); then their waits are cut, and
  // what they had not finished stays in the queue for the next start.
  static constexpr DWORD kStopGraceMs = 5000;
  // A relayed file's deletion is synced this long after it, together with
  // the deletions of every sender meanwhile: nobody waits for it, and one
  // sync per relayed message cost a disk flush and two thread switches
  // each. A crash in between (as during any sync) may relay those few again.
  static constexpr unsigned kDeletionSyncGatherMs = 10;
  // During a pass, the queue folder is listed again for new files at most
  // this often (a listing reads every entry of the folder).
  static constexpr DWORD kRelistMs = 20;
  // How long a client that is still connected after its dialogue is given
  // to see the server close the connection.
  static constexpr DWORD kClientWaitMs = 10000;
  // The largest queued file the relay sends. The text is streamed, so memory
  // is no reason; but one transfer of that size holds up every message
  // behind it, and mail exchangers refuse far smaller ones. A larger file
  // goes to the bad-mail folder with a line that says why.
  static constexpr std::uint64_t kMaxRelayMessageBytes = 64 * 1024 * 1024;
  // Every retry appends a line to the journal, which is read whole at each
  // pass (and refused past a few MiB): past this size it is rewritten.
  static constexpr std::uint64_t kCompactJournalBytes = 64 * 1024;

  // What became of one recipient of a queued file.
  enum class Delivery {
    kDelivered,   // a server accepted the message
    kFailed,      // no server did: the bad-mail copy stands for it
    kUnreadable,  // the queued file could not be read: it stays for later
    kStopped,     // a stop cut the transaction short: it stays for the next start
  };
  // What became of one recipient, and why.
  struct Outcome {
    Delivery delivery = Delivery::kFailed;
    // A failure that may pass (a 4xx reply, no connection, a time-out
    // before the text went out, a DNS time-out or server failure).
    bool temporary = false;
    // The whole text went out and no reply came: the server may have the
    // message, so it is never sent again, and no report says it failed.
    bool uncertain = false;
    std::string reply;  // the last reply, or why no server answered
  };
  // The outcome of one client's dialogue.
  struct Attempt {
    bool delivered = false;
    bool text_sent = false;  // the server may have the message, accepted or not
    std::string reply;       // the last reply read
  };
  // A queued file during its pass.
  struct QueuedFile {
    std::string path;
    std::string name;
    bool bad_mail_needed = false;  // a recipient failed, or the file cannot be sent at all
    bool bad_mail_copied = false;  // ... and the copy is there
    std::time_t next_try = 0;      // the earliest try still to come (0: none)
    bool removed = false;          // gone from the queue at its last acceptance
    // Its journal may exist: one was listed when the pass took the file up,
    // or has been written since. Without one, nothing is looked up by name
    // (a name missing from a folder is searched for among all its entries).
    bool journal = true;
  };

  // One queue-folder entry seen so far.
  struct FileStatus {
    std::time_t creation_time = 0;
    std::time_t last_write_time = 0;
    std::time_t last_access_time = 0;
    std::uint64_t size = 0;
    std::string path;
  };

  // The journal and recipient of the attempt in progress, for OnAccepted.
  struct PendingAcceptance {
    CRelayJournalWriter* journal = nullptr;
    std::string file_name;
    std::string recipient;
    // Set when this recipient is all the file still waits for: the
    // acceptance removes the file instead of writing the journal.
    QueuedFile* last = nullptr;
  };

  // One sender's transaction in progress; lives on that sender's thread.
  struct Courier : public CSmtpClientSink {
    explicit Courier(Impl& impl) : m_Impl(impl) {}
    void OnLog(const std::string& text) override { m_Impl.Log(text); }
    void OnConnected() override { m_Impl.Log("Connected to SMTP server."); }
    void OnDisconnected() override;
    void OnAccepted() override;

    Impl& m_Impl;
    std::unique_ptr<CSmtpClient> m_pClient;  // the attempt in progress
    PendingAcceptance m_Pending;
    platform::Event m_DisconnectEvent{false};  // automatic reset
  };

  // A pass's hand-over between the relay thread and its senders, and one
  // sender (relay_thread_pool.cpp).
  struct PassQueue;
  class Sender;

  explicit Impl(CRelayThread& owner) : m_Owner(owner) {}

  // The thread's run: watch the queue folder until the stop event.
  void Run();

  // Posts "<RELAY> " + text to the server thread's log, at level Trace
  // (Log) or Error (LogError).
  void Log(const std::string& text);
  void LogError(const std::string& text);
  // The queue folder cannot be watched (any more): says why, and that the
  // scan serves it.
  void LogWatchFailure(const platform::DirWatch& watch, int scan_interval);

  // True when the queue folder holds a file name not seen before; brings the
  // snapshot up to date.
  bool CheckForNewFiles();
  // One pass over every file of the queue folder (but those that wait for a
  // later try), opened by a log line that says why; the files go to the
  // senders, and the pass ends when each is done.
  void ProcessQueue(const char* reason = "Detected new messages in queue.");
  // The senders' part of a pass: the due files handed out in the schedule's
  // order (and those that arrive meanwhile), the waiting files noted, the
  // senders joined (relay_thread_pool.cpp).
  void RunSenders(const std::string& folder);
  // The files of the queue folder that are not in `taken` and wait for no
  // later try.
  std::vector<platform::FindEntry> DueFiles(const std::string& folder, const std::set<std::string>& taken);
  // The names in the journal folder, lower-cased (journals are looked up
  // without regard to case).
  std::set<std::string> JournalNames(const std::string& folder);
  // The destination a file is scheduled under: the mail servers of its
  // first remote recipient as far as they are known without a lookup, or
  // its domain (empty when the file cannot be read).
  std::string DestinationOf(const std::string& path);
  // One queued file: its recipients, its bad-mail copy, its deletion. A
  // file leaves the queue only when every copy it needs has been made.
  // Returns the earliest try still to come when recipients wait (0: none).
  // `journal`: the file's journal was listed when the pass took it up.
  std::time_t ProcessFile(Courier& courier, const std::string& folder, const platform::FindEntry& entry,
                          bool journal);
  // Sends the file to each remote recipient the journal does not name yet
  // and records the outcome there; false when the file has to stay in the
  // queue as it is (a stop, a file that cannot be read).
  bool HandleRecipients(Courier& courier, QueuedFile& file, const std::vector<std::string>& recipients);
  // Sends the queued file to one recipient. Once a server may have the
  // message (the whole text went out), no other server is tried; while the
  // relay retries, a 5xx reply ends the recipient too. An acceptance is
  // written to `journal` the moment it arrives.
  // A stop that cut the transaction short leaves the recipient open.
  // `last`: the file, when this recipient is all it still waits for.
  Outcome DeliverToRecipient(Courier& courier, const std::string& path, const std::string& recipient,
                             CRelayJournalWriter& journal, QueuedFile* last = nullptr);
  // A recipient that failed while the relay retries: kept with its next
  // try, or (a permanent failure, or the retry time has run out) ended,
  // with its report to the sender still due. True when it stays.
  bool Defer(QueuedFile& file, CRelayJournalWriter& journal, const RelayJournalRecord* earlier,
             const std::string& recipient, const Outcome& outcome, std::vector<RelayJournalRecord>& ended);
  // Queues one report to the file's sender naming the recipients `ended`
  // and marks them reported in the journal.
  void SendBounce(QueuedFile& file, CRelayJournalWriter& journal,
                  const std::vector<RelayJournalRecord>& ended);
  // The acceptance of a file's last open recipient: the file leaves the
  // queue for good (deleted, the deletion synced) as the journal's record
  // would have said; false when that is not sure, and the record is due.
  bool RemoveDelivered(QueuedFile& file);
  // Deletes a queued file (a folder in its place stays); false (with
  // LastFileError) when it could not be deleted.
  bool DeleteQueued(const QueuedFile& file);
  // Appends a recipient's record to a file's journal; an Error line when it
  // may not be on disk.
  void Record(CRelayJournalWriter& journal, const std::string& name, std::string_view state,
              const std::string& recipient);
  void Record(CRelayJournalWriter& journal, const std::string& name, const RelayJournalRecord& record);
  // The servers for a domain ("a|b|..." or a single server); false when
  // there are none (the reason is logged, and kept with whether it may pass
  // in `failure`).
  bool FindMailServers(const std::string& domain, std::string& servers, Outcome* failure = nullptr);
  // The servers for a domain known without a lookup, or empty.
  std::string KnownMailServers(const std::string& domain);
  // The IPv4 addresses of a mail server (a dotted address or a host name);
  // false when there are none (the reason is logged and kept likewise).
  bool FindServerAddresses(const std::string& server, std::vector<std::string>& addresses, Outcome& failure);
  // Logs that the lookup of a domain or host found no records, and why;
  // returns that as a failure.
  Outcome LogLookupFailure(const std::string& name, const CDnsResolver& resolver);
  // Creates a client and runs its dialogue; false when no connection was made.
  bool StartClient(Courier& courier, const std::string& server, const std::string& sender,
                   const std::string& recipient, CMessageSource& message);
  // Waits for a client that is still connected, then takes its outcome and
  // deletes it.
  Attempt WaitForClient(Courier& courier);

  // The queue folder without trailing separators, and the mail folder that
  // holds it.
  std::string QueueFolder() const;
  std::string MailFolder() const;
  // Logs "Copying message to: " and copies the queued file into the bad-mail
  // folder, replacing a file of that name (the copy appears complete or not
  // at all); a failure is logged as an Error.
  void CopyToBadMail(QueuedFile& file);
  // Rewrites the journal of a waiting file with only the current record of
  // each recipient once it has grown past kCompactJournalBytes.
  void CompactJournal(const std::string& folder, const std::string& name);
  // Removes the journals whose queued file is gone (a crash between the two
  // deletions, or a file deleted by hand).
  void RemoveStrayJournals(const std::string& folder);
  // The server thread asked the thread to end.
  bool StopRequested() const { return m_StopEvent.IsSet(); }
  // The queue folder holds at least one file (not a folder) that does not
  // wait for its next try.
  bool QueueHoldsFiles() const;
  // Milliseconds until the earliest try a queued file waits for, if any.
  std::optional<DWORD> NextTryWaitMs() const;
  // A reload's retry values, when one came: taken, and the waiting files'
  // schedules read again at the next pass. True when a pass is needed.
  bool TakeNewPolicy();
  bool Retrying() const { return m_Policy.Enabled(); }

  CRelayThread& m_Owner;
  std::uint64_t m_nMaxMessageBytes = kMaxRelayMessageBytes;  // the tests' smaller limit
  platform::Event m_StopEvent{true};  // manual reset, set by Stop
  std::vector<FileStatus> m_arrSnapshot;
  // The queue folder's watch while the thread runs (null: the tests' passes
  // on their own thread).
  platform::DirWatch* m_pWatch = nullptr;
  int m_nScanInterval = 0;  // seconds, as the thread's loop has it
  std::mutex m_ServersLock;  // guards the owner's m_mapMailServers
  CHostSlots m_HostSlots{kPerHost};
  CSharedFolderSync m_QueueFolderSync;
  // The queue folder, open while a pass runs (closed: the files are named by
  // their paths); its senders share it.
  platform::Folder m_QueueDir;

  RetryPolicy m_Policy;                   // this thread's copy
  std::mutex m_PolicyLock;                // guards m_NewPolicy
  std::optional<RetryPolicy> m_NewPolicy;  // from a reload, not yet taken
  platform::Event m_WakeEvent{false};     // automatic reset: m_NewPolicy is set
  // Queued files whose every open recipient waits: name -> earliest try.
  std::map<std::string, std::time_t> m_mapWaiting;
};
