// Folder and file helpers of the mail store (see mail_store.h).
#include "store/mail_store.h"

#include "common/text.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/sync.h"
#include "store/envelope_run.h"

namespace {

// Bytes taken from a spool file per read while its envelope is scanned.
constexpr std::size_t kReadChunk = 4096;

constexpr DWORD kRetryIntervalMs = 1000;
constexpr DWORD kWaitLimitMs = 30000;

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

// Scans the envelope run of an open spool file. False when a read failed:
// what was collected stands, but the envelope may have named more.
bool ScanEnvelope(platform::File& file, std::vector<std::string>& recipients, std::string* sender) {
  CEnvelopeRun scanner(&recipients, sender);
  char buffer[kReadChunk];
  for (;;) {
    const long got = file.Read(buffer, sizeof buffer);
    if (got < 0) return false;
    if (got == 0) {
      scanner.Finish();
      return true;
    }
    if (!scanner.Feed(std::string_view(buffer, static_cast<std::size_t>(got)))) return true;
  }
}

}  // namespace

bool IsMessageFileName(std::string_view name) {
  return name.size() > kMessageExtension.size() &&
         text::EqualsNoCase(name.substr(name.size() - kMessageExtension.size()), kMessageExtension);
}

std::string MailSubfolder(std::string_view mail_folder, std::string_view name) {
  std::string path = platform::StripTrailingSeparators(mail_folder);
  path += '\\';
  path += name;
  path += '\\';
  return path;
}

std::string MailTempFolder(std::string_view mail_folder) {
  std::string folder = MailSubfolder(mail_folder, kTempFolder);
  CreateFolderPath(folder);
  return folder;
}

bool CreateFolderPath(std::string_view path) {
  // Trailing separators are dropped first, so that the result tells whether
  // this call created the last folder of the path.
  const std::string whole = platform::StripTrailingSeparators(path);
  if (whole.empty()) return false;
  // Mostly the folder is there already (every message asks for its folders).
  if (platform::IsDirectory(whole)) return false;
  // Every folder before a separator: an existing one, or a drive, is no error.
  for (std::size_t i = 1; i < whole.size(); ++i) {
    if (IsSeparator(whole[i]) && !IsSeparator(whole[i - 1])) {
      platform::CreateDirectory(std::string_view(whole).substr(0, i));
    }
  }
  return platform::CreateDirectory(whole);
}

bool PathExists(std::string_view path, bool is_folder) {
  platform::FindEntry entry;
  if (!platform::GetFileStatus(is_folder ? platform::StripTrailingSeparators(path) : std::string(path), entry)) {
    return false;
  }
  return entry.is_directory == is_folder;
}

RecipientsRead ReadRecipients(std::string_view path, std::vector<std::string>& recipients) {
  recipients.clear();
  platform::File file = platform::File::Open(path, platform::File::Mode::ReadExclusive);
  if (!file.IsOpen()) return RecipientsRead::kUnreadable;
  if (!ScanEnvelope(file, recipients, nullptr)) return RecipientsRead::kUnreadable;
  return recipients.empty() ? RecipientsRead::kNone : RecipientsRead::kFound;
}

bool ReadEnvelope(std::string_view path, SpoolEnvelope& envelope) {
  envelope = SpoolEnvelope();
  platform::File file = platform::File::Open(path, platform::File::Mode::Read);
  if (!file.IsOpen()) return false;
  ScanEnvelope(file, envelope.recipients, &envelope.sender);
  return true;
}

bool WaitUntilReadable(std::string_view path) { return WaitUntilReadable(path, kWaitLimitMs, kRetryIntervalMs); }

bool WaitUntilReadable(std::string_view path, unsigned wait_limit_ms, unsigned retry_interval_ms) {
  const std::uint64_t first_try = platform::TickCountMs();
  for (;;) {
    platform::File file = platform::File::Open(path, platform::File::Mode::ReadExclusive);
    if (file.IsOpen()) return true;
    const LONG error = platform::LastFileError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) return false;
    if (platform::TickCountMs() - first_try >= wait_limit_ms) return false;
    platform::SleepMs(retry_interval_ms);
  }
}

bool IsSafeMailboxName(std::string_view user) {
  if (user.empty() || user == "." || user == "..") return false;
  for (const char* system_folder : {kDropFolder, kQueueFolder, kBadMailFolder, kTempFolder}) {
    if (text::EqualsNoCase(user, system_folder)) return false;
  }
  for (const char c : user) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\' || c == '/' || c == ':' || byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}
