// quillctl queue list|show|delete|retry and badmail list|show|retry|delete: the
// messages waiting for the relay and those it gave up on, with their
// envelopes as the store reads them. An id is looked up among the folder's
// messages (admin/stored_mail.h), so no id names a file elsewhere.
#include <ctime>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "admin/stored_mail.h"
#include "common/system_messages.h"
#include "common/settings_table.h"
#include "common/text.h"
#include "platform/files.h"
#include "store/relay_journal.h"
#include "quillctl/ctl_commands.h"
#include "quillctl/ctl_output.h"

namespace quillctl {
namespace {

using admin::MailFolderKind;
using admin::StoredMessage;

const char* FolderName(MailFolderKind kind) { return kind == MailFolderKind::Queue ? "the queue" : "bad mail"; }

std::int64_t AgeSeconds(const StoredMessage& message) {
  return static_cast<std::int64_t>(std::time(nullptr)) - static_cast<std::int64_t>(message.modified);
}

std::string JoinRecipients(const std::vector<std::string>& recipients) {
  std::string joined;
  for (const std::string& recipient : recipients) joined += (joined.empty() ? "" : ", ") + recipient;
  return joined;
}

// What the relay's journal says of the message's recipients (none when the
// relay has not tried it yet, or does not retry).
std::vector<RelayJournalRecord> RelayRecords(const StoredMessage& message) {
  std::vector<RelayJournalRecord> records;
  ReadRelayJournal(RelayJournalPath(admin::StoredMailFolder(MailFolderKind::Queue), message.file_name), records);
  std::erase_if(records, [](const RelayJournalRecord& record) { return RelayJournalNumber(record, kFieldTries) == 0; });
  return records;
}

// "in 4 min" or "now" for a next-try time.
std::string NextTryText(std::int64_t at) {
  const std::int64_t left = at - static_cast<std::int64_t>(std::time(nullptr));
  return left <= 0 ? "now" : "in " + AgeText(left);
}

Json RelayJson(const std::vector<RelayJournalRecord>& records) {
  Json list = Json::Array();
  for (const RelayJournalRecord& record : records) {
    Json item = Json::Object()
                    .Set("recipient", Json::String(record.recipient))
                    .Set("state", Json::String(record.state))
                    .Set("tries", Json::Number(RelayJournalNumber(record, kFieldTries)))
                    .Set("last_reply", Json::String(RelayJournalField(record, kFieldReply)));
    if (record.state == kRecipientDeferred) item.Set("next_try", Json::Number(RelayJournalNumber(record, kFieldNextTry)));
    list.Push(std::move(item));
  }
  return list;
}

Json MessageJson(const StoredMessage& message) {
  return Json::Object()
      .Set("id", Json::String(message.id))
      .Set("size", Json::Number(static_cast<std::int64_t>(message.size)))
      .Set("modified", Json::Number(static_cast<std::int64_t>(message.modified)))
      .Set("age_seconds", Json::Number(AgeSeconds(message)))
      .Set("sender", Json::String(message.envelope.sender))
      .Set("recipients", Json::Strings(message.envelope.recipients));
}

// The whole file, or nothing when it cannot be read.
std::optional<std::string> ReadMessageText(const std::string& path) {
  platform::File file = platform::File::Open(path, platform::File::Mode::Read);
  if (!file.IsOpen()) return std::nullopt;
  std::string text;
  char buffer[16384];
  for (;;) {
    const long got = file.Read(buffer, sizeof buffer);
    if (got < 0) return std::nullopt;
    if (got == 0) return text;
    text.append(buffer, static_cast<std::size_t>(got));
  }
}

std::optional<StoredMessage> FindMessage(const Invocation& invocation, MailFolderKind kind) {
  std::optional<StoredMessage> message = admin::FindStoredMessage(kind, invocation.operands[0]);
  if (!message) invocation.Fail("there is no message '" + invocation.operands[0] + "' in " + FolderName(kind));
  return message;
}

int List(Invocation& invocation, MailFolderKind kind) {
  const std::vector<StoredMessage> messages = admin::ListStoredMessages(kind);
  const bool queue = kind == MailFolderKind::Queue;
  if (invocation.Has(kOptJson)) {
    Json list = Json::Array();
    for (const StoredMessage& message : messages) {
      Json item = MessageJson(message);
      if (queue) item.Set("relay", RelayJson(RelayRecords(message)));
      list.Push(std::move(item));
    }
    invocation.io.out << list.Dump() << "\n";
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  std::vector<std::vector<std::string>> tries;
  for (const StoredMessage& message : messages) {
    rows.push_back({message.id, std::to_string(message.size), AgeText(AgeSeconds(message)), message.envelope.sender,
                    JoinRecipients(message.envelope.recipients)});
    if (!queue) continue;
    for (const RelayJournalRecord& record : RelayRecords(message)) {
      const bool waits = record.state == kRecipientDeferred;
      tries.push_back({message.id, record.recipient, record.state,
                       std::to_string(RelayJournalNumber(record, kFieldTries)),
                       waits ? NextTryText(RelayJournalNumber(record, kFieldNextTry)) : "-",
                       RelayJournalField(record, kFieldReply)});
    }
  }
  PrintTable(invocation.io.out, {"ID", "SIZE", "AGE", "SENDER", "RECIPIENTS"}, rows);
  // The retry state of each recipient the relay has tried, below.
  if (!tries.empty()) {
    invocation.io.out << "\n";
    PrintTable(invocation.io.out, {"ID", "RECIPIENT", "STATE", "TRIES", "NEXT TRY", "LAST REPLY"}, tries);
  }
  return kExitOk;
}

int Show(Invocation& invocation, MailFolderKind kind) {
  const std::optional<StoredMessage> message = FindMessage(invocation, kind);
  if (!message) return kExitFailed;
  const std::optional<std::string> text = ReadMessageText(admin::StoredMessagePath(kind, *message));
  if (!text) return invocation.Fail("the message '" + message->id + "' cannot be read");
  if (invocation.Has(kOptJson)) {
    invocation.io.out << MessageJson(*message).Set("text", Json::String(*text)).Dump() << "\n";
    return kExitOk;
  }
  invocation.io.out << "Id: " << message->id << "\nSize: " << message->size
                    << " bytes\nAge: " << AgeText(AgeSeconds(*message)) << "\nSender: " << message->envelope.sender
                    << "\nRecipients: " << JoinRecipients(message->envelope.recipients) << "\n\n"
                    << *text;
  if (!text->empty() && text->back() != '\n') invocation.io.out << "\n";
  return kExitOk;
}

int Delete(Invocation& invocation, MailFolderKind kind) {
  const std::optional<StoredMessage> message = FindMessage(invocation, kind);
  if (!message) return kExitFailed;
  const LONG result = admin::DeleteStoredMessage(kind, *message);
  if (result == ERROR_SUCCESS) return kExitOk;
  return invocation.Fail("the message '" + message->id +
                         "' was not deleted: " + text::TrimRight(SystemErrorText(result)));
}

}  // namespace

int QueueList(Invocation& invocation) { return List(invocation, MailFolderKind::Queue); }
int QueueShow(Invocation& invocation) { return Show(invocation, MailFolderKind::Queue); }
int QueueDelete(Invocation& invocation) { return Delete(invocation, MailFolderKind::Queue); }
int BadMailList(Invocation& invocation) { return List(invocation, MailFolderKind::BadMail); }
int BadMailShow(Invocation& invocation) { return Show(invocation, MailFolderKind::BadMail); }
int BadMailDelete(Invocation& invocation) { return Delete(invocation, MailFolderKind::BadMail); }

int QueueRetry(Invocation& invocation) {
  const std::optional<StoredMessage> message = FindMessage(invocation, MailFolderKind::Queue);
  if (!message) return kExitFailed;
  const std::string queue = admin::StoredMailFolder(MailFolderKind::Queue);
  std::vector<RelayJournalRecord> records;
  if (!ReadRelayJournal(RelayJournalPath(queue, message->file_name), records))
    return invocation.Fail("the relay journal of '" + message->id + "' cannot be read");
  // A later record replaces an earlier one: the same record, due now.
  CRelayJournalWriter journal(queue, message->file_name);
  int made_due = 0;
  for (RelayJournalRecord& record : records) {
    if (record.state != kRecipientDeferred) continue;
    SetRelayJournalField(record, kFieldNextTry, std::to_string(static_cast<long long>(std::time(nullptr))));
    if (!journal.Append(record))
      return invocation.Fail("the relay journal of '" + message->id +
                             "' was not written: " + text::TrimRight(SystemErrorText(platform::LastFileError())));
    ++made_due;
  }
  if (made_due == 0) return invocation.Fail("no recipient of '" + message->id + "' waits for a retry");
  // The reload signal wakes the relay, which reads the schedules again.
  invocation.changed = true;
  return kExitOk;
}

int BadMailRetry(Invocation& invocation) {
  const std::optional<StoredMessage> message = FindMessage(invocation, MailFolderKind::BadMail);
  if (!message) return kExitFailed;
  const LONG result = admin::RetryBadMail(*message);
  if (result == ERROR_ALREADY_EXISTS) return invocation.Fail("the queue holds a message '" + message->id + "' already");
  if (result != ERROR_SUCCESS)
    return invocation.Fail("the message '" + message->id +
                           "' was not moved: " + text::TrimRight(SystemErrorText(result)));
  if (settings::ReadNumber(settings::kRelayMessages) == 0)
    invocation.io.err << "quillctl: the relay is off (RelayMessages 0): the message waits in the queue until it "
                         "is switched on\n";
  return kExitOk;
}

}  // namespace quillctl
