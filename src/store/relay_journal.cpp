// The relay journal of a queued file (see relay_journal.h).
#include "store/relay_journal.h"

#include <algorithm>

#include "common/text.h"
#include "platform/ascii.h"
#include "platform/paths.h"
#include "store/mail_store.h"

namespace {

constexpr std::size_t kReadChunk = 4096;
// A journal holds a line per recipient and outcome; one this large is no
// journal of ours, and reading it whole would only take memory.
constexpr std::size_t kMaxJournalBytes = 4 * 1024 * 1024;
constexpr unsigned kJournalModeBits = 0600;  // as the queued mail itself

constexpr char kFieldSeparator = '\t';

// "%", TAB, CR and LF as "%XX", so that a text never splits a field or a line.
std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (c == '%' || c == '\t' || c == '\r' || c == '\n')
      out += text::Format("%%%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
    else
      out += c;
  }
  return out;
}

// The reverse of Escape; a "%" not followed by two hex digits stands for itself.
std::string Unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = platform::HexDigitValue(text[i + 1]);
      const int low = platform::HexDigitValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

// The whole file; false when it cannot be read or is too large.
bool ReadWhole(std::string_view path, std::string& contents) {
  contents.clear();
  platform::File file = platform::File::Open(path, platform::File::Mode::Read);
  if (!file.IsOpen()) return false;
  char buffer[kReadChunk];
  for (;;) {
    const long got = file.Read(buffer, sizeof buffer);
    if (got < 0) return false;
    if (got == 0) return true;
    if (contents.size() + static_cast<std::size_t>(got) > kMaxJournalBytes) return false;
    contents.append(buffer, static_cast<std::size_t>(got));
  }
}

}  // namespace

std::string RelayJournalField(const RelayJournalRecord& record, std::string_view name) {
  for (auto it = record.fields.rbegin(); it != record.fields.rend(); ++it)
    if (it->first == name) return it->second;
  return {};
}

long long RelayJournalNumber(const RelayJournalRecord& record, std::string_view name) {
  const std::string value = RelayJournalField(record, name);
  if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::stoll(value);
}

void SetRelayJournalField(RelayJournalRecord& record, std::string_view name, std::string value) {
  std::erase_if(record.fields, [name](const auto& field) { return field.first == name; });
  record.fields.emplace_back(std::string(name), std::move(value));
}

std::string RelayJournalFolder(std::string_view queue_folder) {
  return MailSubfolder(queue_folder, kRelayJournalFolder);
}

std::string RelayJournalPath(std::string_view queue_folder, std::string_view file_name) {
  return RelayJournalFolder(queue_folder) + std::string(file_name);
}

std::string FormatRelayJournalRecord(const RelayJournalRecord& record) {
  std::string line = Escape(record.state);
  line += kFieldSeparator;
  line += Escape(record.recipient);
  for (const auto& [name, value] : record.fields) {
    line += kFieldSeparator;
    line += Escape(name);
    line += '=';
    line += Escape(value);
  }
  line += '\n';
  return line;
}

bool ParseRelayJournalLine(std::string_view line, RelayJournalRecord& record) {
  const std::vector<std::string> fields = text::Split(line, kFieldSeparator);
  if (fields.size() < 2) return false;
  record = RelayJournalRecord{Unescape(fields[0]), Unescape(fields[1]), {}};
  for (std::size_t i = 2; i < fields.size(); ++i) {
    const std::size_t equals = fields[i].find('=');
    if (equals == std::string::npos) {
      record.fields.emplace_back(Unescape(fields[i]), std::string());
    } else {
      record.fields.emplace_back(Unescape(std::string_view(fields[i]).substr(0, equals)),
                                 Unescape(std::string_view(fields[i]).substr(equals + 1)));
    }
  }
  return true;
}

bool ReadRelayJournal(std::string_view path, std::vector<RelayJournalRecord>& records) {
  records.clear();
  if (!platform::IsRegularFile(path)) {
    platform::FindEntry entry;
    // Nothing at all is an empty journal; anything else in its place is not
    // one that can be read.
    return !platform::GetFileStatus(path, entry);
  }
  std::string contents;
  if (!ReadWhole(path, contents)) return false;
  // Only whole lines: a crash may have cut the last one short.
  std::size_t pos = 0;
  for (std::size_t end; (end = contents.find('\n', pos)) != std::string::npos; pos = end + 1) {
    RelayJournalRecord record;
    if (!ParseRelayJournalLine(std::string_view(contents).substr(pos, end - pos), record)) continue;
    const auto known = std::find_if(records.begin(), records.end(), [&](const RelayJournalRecord& r) {
      return r.recipient == record.recipient;
    });
    if (known != records.end())
      *known = std::move(record);
    else
      records.push_back(std::move(record));
  }
  return true;
}

bool RewriteRelayJournal(std::string_view queue_folder, std::string_view file_name,
                         const std::vector<RelayJournalRecord>& records, std::string_view temp_folder) {
  std::string text = std::string(kRelayJournalHeader) + "\n";
  for (const RelayJournalRecord& record : records) text += FormatRelayJournalRecord(record);
  platform::AtomicFileWriter writer;
  return writer.Begin(temp_folder, RelayJournalPath(queue_folder, file_name)) && writer.Write(text) &&
         writer.Commit();
}

CRelayJournalWriter::CRelayJournalWriter(std::string_view queue_folder, std::string_view file_name)
    : m_strQueueFolder(queue_folder),
      m_strFolder(RelayJournalFolder(queue_folder)),
      m_strPath(RelayJournalPath(queue_folder, file_name)) {}

bool CRelayJournalWriter::Open() {
  // A new journal folder is synced into the queue folder, so that it does
  // not vanish in a crash with the journals in it.
  if (CreateFolderPath(m_strFolder) && !platform::SyncDirectory(m_strQueueFolder)) return false;
  std::string existing;
  if (platform::IsRegularFile(m_strPath) && !ReadWhole(m_strPath, existing)) return false;
  m_File = platform::File::Open(m_strPath, platform::File::Mode::AppendShared, kJournalModeBits);
  if (!m_File.IsOpen()) return false;
  if (existing.empty()) return m_File.Write(std::string(kRelayJournalHeader) + "\n");
  // Ends a line a crash cut short, so that it stays a line of its own.
  return existing.back() == '\n' || m_File.Write("\n");
}

bool CRelayJournalWriter::Append(const RelayJournalRecord& record) {
  m_bStarted = true;
  if (!m_File.IsOpen() && !Open()) {
    m_File.Close();
    return false;
  }
  if (!m_File.Write(FormatRelayJournalRecord(record)) || !m_File.Sync()) {
    m_File.Close();
    return false;
  }
  // The journal's own name is synced into its folder once per writer.
  if (!m_bNameSynced) m_bNameSynced = platform::SyncDirectory(m_strFolder);
  return m_bNameSynced;
}
