#include "admin/stored_mail.h"

#include <algorithm>

#include "common/settings_table.h"
#include "common/text.h"
#include "platform/files.h"

namespace admin {

std::string StoredMailFolder(MailFolderKind kind) {
  const char* name = kind == MailFolderKind::Drop    ? kDropFolder
                     : kind == MailFolderKind::Queue ? kQueueFolder
                                                     : kBadMailFolder;
  return MailSubfolder(settings::ReadText(settings::kMailFolder), name);
}

namespace {

// The messages of the folder, their envelopes only when asked for.
std::vector<StoredMessage> ReadFolder(MailFolderKind kind, bool with_envelopes) {
  const std::string folder = StoredMailFolder(kind);
  std::vector<platform::FindEntry> entries;
  platform::ListFolder(folder, entries);
  std::vector<StoredMessage> messages;
  for (const platform::FindEntry& entry : entries) {
    if (!entry.is_regular || !IsMessageFileName(entry.name)) continue;
    StoredMessage message;
    message.file_name = entry.name;
    message.id = entry.name.substr(0, entry.name.size() - kMessageExtension.size());
    message.size = entry.size;
    message.modified = entry.last_write_time;
    if (with_envelopes) ReadEnvelope(folder + entry.name, message.envelope);
    messages.push_back(std::move(message));
  }
  std::sort(messages.begin(), messages.end(), [](const StoredMessage& a, const StoredMessage& b) {
    return a.modified != b.modified ? a.modified < b.modified : a.id < b.id;
  });
  return messages;
}

}  // namespace

std::vector<StoredMessage> ListStoredMessages(MailFolderKind kind) { return ReadFolder(kind, true); }

std::optional<StoredMessage> FindStoredMessage(MailFolderKind kind, std::string_view id) {
  for (StoredMessage& message : ReadFolder(kind, false)) {
    if (!text::EqualsNoCase(message.id, id) && !text::EqualsNoCase(message.file_name, id)) continue;
    ReadEnvelope(StoredMessagePath(kind, message), message.envelope);
    return message;
  }
  return std::nullopt;
}

std::string StoredMessagePath(MailFolderKind kind, const StoredMessage& message) {
  return StoredMailFolder(kind) + message.file_name;
}

LONG DeleteStoredMessage(MailFolderKind kind, const StoredMessage& message) {
  return platform::DeleteFile(StoredMessagePath(kind, message)) ? ERROR_SUCCESS : platform::LastFileError();
}

LONG RetryBadMail(const StoredMessage& message) {
  const std::string queue = StoredMailFolder(MailFolderKind::Queue);
  CreateFolderPath(queue);
  if (platform::MoveFile(StoredMessagePath(MailFolderKind::BadMail, message), queue + message.file_name))
    return ERROR_SUCCESS;
  return platform::LastFileError();
}

}  // namespace admin
