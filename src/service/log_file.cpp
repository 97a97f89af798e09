// The trace log file: appended lines, readable by others while open, never
// world-readable (it records the commands and credentials of every session).
#include "service/log_file.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "platform/message_box.h"

namespace {

// The trace log is created rw-r----- whatever the umask says.
constexpr unsigned kLogFileMode = 0640;

struct LocalStamp {
  std::tm tm;
  int millisecond;
};

LocalStamp Now() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  LocalStamp stamp;
  localtime_r(&seconds, &stamp.tm);
  stamp.millisecond = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  return stamp;
}

std::string DatePart(const LocalStamp& s) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d/%02d/%02d ", s.tm.tm_mon + 1, s.tm.tm_mday, s.tm.tm_year + 1900);
  return text;
}

std::string TimePart(const LocalStamp& s) {
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d ", s.tm.tm_hour, s.tm.tm_min, s.tm.tm_sec,
                s.millisecond);
  return text;
}

}  // namespace

bool CLogFile::Open(const std::string& path) {
  Close();
  m_strFileName = path;
  m_file = platform::File::Open(path, platform::File::Mode::AppendShared, kLogFileMode);
  if (!m_file.IsOpen()) {
    char text[1024];
    if (platform::IsSymbolicLink(path)) {
      std::snprintf(text, sizeof text, "Cannot open file: '%s' is a symbolic link; the trace log is not written",
                    path.c_str());
    } else {
      std::snprintf(text, sizeof text, "Cannot create or open file: '%s'", path.c_str());
    }
    platform::MessageBoxToStderr(text, "Error in CLogFile::Open()");
    return false;
  }
  return true;
}

void CLogFile::Close() { m_file.Close(); }

void CLogFile::Write(std::string_view text) {
  if (!m_file.IsOpen() || !m_bEnabled) return;
  m_file.Write(text);  // a failed write is dropped: the log never stops the server
}

void CLogFile::WriteDate() { Write(DatePart(Now())); }
void CLogFile::WriteTime() { Write(TimePart(Now())); }
void CLogFile::WriteLineEnd() { Write("\r\n"); }

void CLogFile::WriteLine(std::string_view text) {
  const LocalStamp stamp = Now();
  std::string line = DatePart(stamp) + TimePart(stamp);
  line.append(text);
  line.append("\r\n");
  Write(line);
}
