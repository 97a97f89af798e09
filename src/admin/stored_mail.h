// The messages waiting in the queue folder for the relay and those the relay
// gave up on in the bad-mail folder, as quillctl lists, shows, deletes and
// retries them. A message is a plain file "<id>.eml" of the folder; other
// files beside it (notes the relay keeps on a message) are not messages.
//
// An id given by a person is only ever compared with the names the folder
// holds, never made into a path, so no id reaches outside its folder.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"
#include "store/mail_store.h"

namespace admin {

// The drop folder holds the spool files waiting for local delivery; only
// status counts them.
enum class MailFolderKind { Drop, Queue, BadMail };

struct StoredMessage {
  std::string id;         // the file name without ".eml"
  std::string file_name;  // as the folder spells it
  std::uint64_t size = 0;
  std::time_t modified = 0;
  // Read with the store's envelope reader; empty when the file could not be
  // opened (the relay may have taken it meanwhile).
  SpoolEnvelope envelope;
};

// The folder below the stored MailFolder, with a trailing separator.
std::string StoredMailFolder(MailFolderKind kind);
// Every message of the folder, oldest first (equal times by id); none when
// the folder is missing.
std::vector<StoredMessage> ListStoredMessages(MailFolderKind kind);
// The message whose id or file name equals `id` (any case), or nothing.
std::optional<StoredMessage> FindStoredMessage(MailFolderKind kind, std::string_view id);
// The path of a listed message.
std::string StoredMessagePath(MailFolderKind kind, const StoredMessage& message);

// Deletes a listed message; ERROR_SUCCESS or the file error.
LONG DeleteStoredMessage(MailFolderKind kind, const StoredMessage& message);
// Moves a bad-mail message back into the queue folder under its own name,
// where the relay's watch on the folder finds it; ERROR_ALREADY_EXISTS when
// the queue holds a file of that name (nothing is replaced).
LONG RetryBadMail(const StoredMessage& message);

}  // namespace admin
