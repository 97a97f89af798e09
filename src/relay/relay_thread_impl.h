// The work of the relay thread, kept apart from CRelayThread's public shape:
// the queue pass, the delivery of one recipient, the mail-server lookup and
// the SMTP client it drives. Everything here runs on the relay thread; only
// the stop and disconnect events are touched from the server thread (Stop).
//
// The settings are read from the owner's public fields, which the server
// core sets before Start() and never changes afterwards; the mail-server map
// is the owner's and grows with the DNS results of this thread's life.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dir_watch.h"
#include "platform/sync.h"
#include "relay/relay_thread.h"
#include "relay/smtp_client.h"

// A queued file split into what the SMTP client needs: the envelope sender
// and the message text after DATA (the client adds the final line break).
struct RelayMessage {
  std::string sender;
  std::string text;
};

// Builds the message of a queued file. Only the leading envelope run (lines
// beginning "x-sender:" or "x-receiver:", either case) is left out; the
// text after the last "x-sender:" marker of that run, trimmed, is the
// sender. Every other line is sent as it stands, ended by CR LF, and the
// text ends in CR LF ".", so that with the client's line break the stream
// ends in an empty line and the terminating dot.
RelayMessage BuildRelayMessage(std::string_view contents);

// The servers text for the exchangers of a DNS answer: the MX texts in
// order of preference (lowest first, equal ones in answer order), each the
// part after its first blank (the whole text when it has none) and a "|".
std::string MailServersFromDns(std::vector<std::string> results);

struct CRelayThread::Impl : public CSmtpClientSink {
  // The port of every mail server the relay talks to.
  static constexpr int kSmtpPort = 25;
  // How long a client that is still connected after its dialogue is given
  // to see the server close the connection.
  static constexpr DWORD kClientWaitMs = 10000;
  // The message text is held in memory while it is sent; a queued file
  // larger than this is not relayed but copied to the bad-mail folder, so
  // one huge message cannot exhaust the service's memory.
  static constexpr std::int64_t kMaxRelayMessageBytes = 64 * 1024 * 1024;

  // One queue-folder entry seen so far.
  struct FileStatus {
    std::time_t creation_time = 0;
    std::time_t last_write_time = 0;
    std::time_t last_access_time = 0;
    std::uint64_t size = 0;
    std::string path;
  };

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
  // One pass over every file of the queue folder.
  void ProcessQueue();
  // Sends the queued file to one recipient; true when a server accepted it,
  // false when a copy went to the bad-mail folder instead.
  bool DeliverToRecipient(const std::string& path, const std::string& recipient);
  // The servers for a domain ("a|b|..." or a single server); false when
  // there are none (the reason is logged).
  bool FindMailServers(const std::string& domain, std::string& servers);
  // The IPv4 addresses of a mail server (a dotted address or a host name);
  // false when there are none (the reason is logged).
  bool FindServerAddresses(const std::string& server, std::vector<std::string>& addresses);
  // Logs that the lookup of a domain or host found no records, and why.
  void LogLookupFailure(const std::string& name, const std::string& reason);
  // Creates a client and runs its dialogue; false when no connection was made.
  bool StartClient(const std::string& server, const std::string& sender,
                   const std::string& recipient, const std::string& text);
  // Waits for a client that is still connected, then takes its outcome and
  // deletes it; true when the message was delivered.
  bool WaitForClient();

  // The queue folder without trailing separators.
  std::string QueueFolder() const;
  // Copies a queued file into the bad-mail folder, replacing a file of that
  // name; the copy appears complete or not at all.
  bool CopyToBadMail(const std::string& path, const std::string& name);
  // The queue folder holds at least one file (not a folder).
  bool QueueHoldsFiles() const;

  // CSmtpClientSink
  void OnLog(const std::string& text) override { Log(text); }
  void OnConnected() override;
  void OnDisconnected() override;

  CRelayThread& m_Owner;
  platform::Event m_StopEvent{true};         // manual reset, set by Stop
  platform::Event m_DisconnectEvent{false};  // automatic reset
  std::vector<FileStatus> m_arrSnapshot;
  std::unique_ptr<CSmtpClient> m_pClient;  // the attempt in progress
};
