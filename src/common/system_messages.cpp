#include "common/system_messages.h"

#include "common/text.h"
#include "platform/registry.h"

std::string SystemErrorText(LONG code) {
  struct Entry {
    LONG code;
    const char* text;
  };
  static constexpr Entry kTexts[] = {
      {ERROR_SUCCESS, "The operation completed successfully."},
      {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
      {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
      {ERROR_ACCESS_DENIED, "Access is denied."},
      {ERROR_INVALID_HANDLE, "The handle is invalid."},
      {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
      {ERROR_SHARING_VIOLATION,
       "The process cannot access the file because it is being used by another process."},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
      {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
      {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
      {ERROR_HANDLE_DISK_FULL, "The disk is full."},
      {ERROR_CANTOPEN, "The configuration registry key could not be opened."},
      {ERROR_CANTWRITE, "The configuration registry key could not be written."},
      {platform::ERROR_KEY_DELETED,
       "Illegal operation attempted on a registry key that has been marked for deletion."},
  };
  for (const Entry& entry : kTexts)
    if (entry.code == code) return std::string(entry.text) + "\r\n";
  return text::Format("System error %d.\r\n", static_cast<int>(code));
}

