// quillctl queue list|show|delete and badmail list|show|retry|delete: the
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
  if (invocation.Has(kOptJson)) {
    Json list = Json::Array();
    for (const StoredMessage& message : messages) list.Push(MessageJson(message));
    invocation.io.out << list.Dump() << "\n";
    return kExitOk;
  }
  std::vector<std::vector<std::string>> rows;
  for (const StoredMessage& message : messages)
    rows.push_back({message.id, std::to_string(message.size), AgeText(AgeSeconds(message)), message.envelope.sender,
                    JoinRecipients(message.envelope.recipients)});
  PrintTable(invocation.io.out, {"ID", "SIZE", "AGE", "SENDER", "RECIPIENTS"}, rows);
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
