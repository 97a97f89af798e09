// The trace log file. Only the server thread writes it, so it has no lock.
// Lines are "MM/DD/YYYY HH:MM:SS.mmm text\r\n" in local time, appended to a
// file that others may read while it is open. The file is created 0640: it
// records commands and credentials of every session.
#pragma once

#include <string>
#include <string_view>

#include "platform/files.h"

class CLogFile {
 public:
  // Opens (creating, never truncating) for appending; closes an open file
  // first. Never follows a symbolic link at the path. On failure reports
  // "Cannot create or open file: '%s'" or that the path is a link (standard
  // error: the service has no desktop) and returns false.
  bool Open(const std::string& path);
  void Close();
  bool IsOpen() const { return m_file.IsOpen(); }
  // Writes the bytes when open and enabled.
  void Write(std::string_view text);
  void WriteDate();
  void WriteTime();
  void WriteLineEnd();
  // Date, time, text and line end as one write.
  void WriteLine(std::string_view text);

  bool m_bEnabled = false;
  const std::string& FileName() const { return m_strFileName; }

 private:
  platform::File m_file;
  std::string m_strFileName;
};
