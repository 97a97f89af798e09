// The mail store below MailFolder: one folder per account, and the system
// folders "drop" (spool files), "queue" (mail for the relay) and "badmail".
// Copies appear atomically: written under a temporary name in the hidden
// folder ".tmp" of the mail folder (same file system), then renamed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

inline constexpr const char* kDropFolder = "drop";
inline constexpr const char* kQueueFolder = "queue";
inline constexpr const char* kBadMailFolder = "badmail";
inline constexpr const char* kTempFolder = ".tmp";

// Every message is a file "<queue id>.eml" (the extension in any case), in
// the drop, queue and bad-mail folders and in the mailboxes alike.
inline constexpr std::string_view kMessageExtension = ".eml";
bool IsMessageFileName(std::string_view name);

// MailFolder with trailing separators removed, "\", the name and "\".
std::string MailSubfolder(std::string_view mail_folder, std::string_view name);
// The folder for temporary files of atomic writes ("<mail folder>\.tmp\"),
// created when missing.
std::string MailTempFolder(std::string_view mail_folder);

// Creates every folder of the path ("\" and "/" separate; trailing ones are
// ignored); the result is that of the last creation (false when the folder
// already existed).
bool CreateFolderPath(std::string_view path);
// The path exists and is a folder (is_folder) or a plain file.
bool PathExists(std::string_view path, bool is_folder);
// What ReadRecipients made of a spool file.
enum class RecipientsRead {
  kFound,       // at least one recipient
  kNone,        // the file was read and names nobody
  kUnreadable,  // it could not be opened (a writer holds it, no descriptor
                // left, gone) or a read failed: the list holds what came before
};
// Recipients of a spool file: the "x-receiver:" lines of its leading envelope
// run (store/envelope_run.h), lower-cased and trimmed; blank ones are
// skipped. Replaces the list's contents.
RecipientsRead ReadRecipients(std::string_view path, std::vector<std::string>& recipients);
// The whole envelope of a spool file as ReadRecipients reads it: the first
// "x-sender:" line's address and the recipients. Opened without the
// exclusive lock, so that a look at the queue never keeps the relay waiting;
// false when the file cannot be opened.
struct SpoolEnvelope {
  std::string sender;
  std::vector<std::string> recipients;
};
bool ReadEnvelope(std::string_view path, SpoolEnvelope& envelope);
// Tries an exclusive open every second for up to 30 s while another writer
// holds the file (sharing violation) or access is denied; true once it opens,
// false at once for any other failure.
bool WaitUntilReadable(std::string_view path);
// The same with other limits (the tests' short waits).
bool WaitUntilReadable(std::string_view path, unsigned wait_limit_ms, unsigned retry_interval_ms);
// A user part that may name a mailbox folder: not empty, not "." or "..", not
// a system folder (any case), no "\", "/", ":" or control character.
bool IsSafeMailboxName(std::string_view user);
