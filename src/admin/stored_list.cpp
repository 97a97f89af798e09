#include "admin/stored_list.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "common/system_messages.h"
#include "common/serial_list.h"
#include "common/settings_registry.h"
#include "common/settings_table.h"
#include "common/text.h"

namespace admin {
namespace {

ListRow SplitAtBar(const std::string& element) {
  // The text before the first "|" and the text after it up to the next one.
  return {text::ExtractField(element, 0, '|'), text::ExtractField(element, 1, '|')};
}

std::string JoinWithBar(const ListRow& row) { return row[0] + "|" + row[1]; }

// IP filter entries separate start and end with any of these (see the
// service's IP filter); an entry without one is a single address.
constexpr const char* kIpEntrySeparators = "|,;- ";

ListRow SplitIpEntry(const std::string& element) {
  const std::size_t at = element.find_first_of(kIpEntrySeparators);
  if (at == std::string::npos) return {element, element};
  return {element.substr(0, at), element.substr(at + 1)};
}

std::string JoinIpEntry(const ListRow& row) {
  return row[1].empty() ? row[0] : row[0] + " " + row[1];
}

ListRow SingleColumn(const std::string& element) { return {element}; }
std::string FirstColumn(const ListRow& row) { return row[0]; }

// A list of the settings table: shown up to the size the applet reads,
// stored up to the size the service reads.
ListFormat FormatOf(const settings::Setting& list, const char* name, std::size_t columns,
                    std::function<ListRow(const std::string&)> split,
                    std::function<std::string(const ListRow&)> join) {
  return {name,          list.section,           list.name,        columns, list.applet_max_bytes,
          list.service_max_bytes, std::move(split), std::move(join)};
}

}  // namespace

ListFormat DomainsFormat() { return FormatOf(settings::kDomains, "domains", 1, SingleColumn, FirstColumn); }
ListFormat ForwardRulesFormat() {
  return FormatOf(settings::kForwardRules, "forward rules", 2, SplitAtBar, JoinWithBar);
}
ListFormat MxRecordsFormat() {
  return FormatOf(settings::kMxRecords, "pre-defined DNS records", 2, SplitAtBar, JoinWithBar);
}
ListFormat BlockedSendersFormat() {
  return FormatOf(settings::kBlockMailFrom, "blocked senders", 1, SingleColumn, FirstColumn);
}
ListFormat IpFilterFormat() {
  return FormatOf(settings::kIPFilter, "IP filter addresses", 2, SplitIpEntry, JoinIpEntry);
}

StoredRead ReadStoredList(const char* section, const char* value, std::size_t max_bytes,
                          std::vector<std::uint8_t>& data, std::string& reason) {
  const LONG result = QueryRegBinary(section, value, data);
  if (result == ERROR_FILE_NOT_FOUND) return StoredRead::Missing;
  if (result != ERROR_SUCCESS) {
    reason = text::TrimRight(SystemErrorText(result));
    return StoredRead::Unreadable;
  }
  if (data.size() > max_bytes) {
    reason = text::Format("It takes %zu bytes, more than the %zu bytes shown here.", data.size(), max_bytes);
    return StoredRead::Unreadable;
  }
  return StoredRead::Read;
}

std::string ListUnreadableText(const char* list_name, const std::string& reason) {
  return text::Format(
      "The list of %s cannot be read. %s\n\nIt is shown empty and stays stored as it is: it cannot be changed "
      "here until it can be read.",
      list_name, reason.c_str());
}

std::string ListTooLargeText(const char* list_name, std::size_t bytes) {
  return text::Format(
      "The list of %s is too large for the mail service: it takes %zu bytes, and the service reads lists of at "
      "most %zu bytes. It is not stored until entries are removed; the change that makes it fit stores it.",
      list_name, bytes, kMaxServiceListBytes);
}

CStoredList::CStoredList(ListFormat format) : m_format(std::move(format)) {}

void CStoredList::Load() {
  m_rows.clear();
  m_strReadProblem.reset();
  std::vector<std::uint8_t> data;
  std::string reason;
  const StoredRead read = ReadStoredList(m_format.section, m_format.value, m_format.max_loaded_bytes, data, reason);
  if (read == StoredRead::Missing) return;
  std::vector<std::string> elements;
  if (read == StoredRead::Read && !serial_list::ReadTexts(data.data(), data.size(), elements))
    reason = kMalformedListReason;
  if (!reason.empty()) {
    m_strReadProblem = ListUnreadableText(m_format.name, reason);
    return;
  }
  for (const std::string& element : elements) m_rows.push_back(Normalise(m_format.split(element)));
}

std::vector<std::string> CStoredList::Elements() const {
  std::vector<std::string> elements;
  elements.reserve(m_rows.size());
  for (const ListRow& row : m_rows) elements.push_back(m_format.join(row));
  return elements;
}

bool CStoredList::Save() const {
  m_bSaved = false;
  if (m_strReadProblem) return false;
  const serial_list::Bytes bytes = serial_list::WriteTexts(Elements());
  if (bytes.size() > m_format.max_stored_bytes) return false;
  m_bSaved = WriteRegBinary(m_format.section, m_format.value, bytes.data(), bytes.size());
  return m_bSaved;
}

std::optional<std::string> CStoredList::TooLargeText() const {
  const std::size_t size = serial_list::WriteTexts(Elements()).size();
  if (size <= m_format.max_stored_bytes) return std::nullopt;
  return ListTooLargeText(m_format.name, size);
}

ListRow CStoredList::Normalise(const ListRow& row) const {
  ListRow normal = row;
  normal.resize(m_format.columns);
  return normal;
}

int CStoredList::Find(const ListRow& row) const {
  const ListRow wanted = Normalise(row);
  for (std::size_t i = 0; i < m_rows.size(); ++i) {
    bool equal = true;
    for (std::size_t column = 0; column < m_format.columns && equal; ++column)
      equal = text::EqualsNoCase(m_rows[i][column], wanted[column]);
    if (equal) return static_cast<int>(i);
  }
  return -1;
}

std::optional<int> CStoredList::Add(const ListRow& row) {
  if (m_strReadProblem || Contains(row)) return std::nullopt;
  m_rows.push_back(Normalise(row));
  Save();
  return static_cast<int>(m_rows.size()) - 1;
}

bool CStoredList::Edit(int index, const ListRow& row) {
  if (index < 0 || index >= static_cast<int>(m_rows.size())) return false;
  if (Contains(row)) return false;
  m_rows[static_cast<std::size_t>(index)] = Normalise(row);
  Save();
  return true;
}

bool CStoredList::Remove(int index) {
  if (index < 0 || index >= static_cast<int>(m_rows.size())) return false;
  m_rows.erase(m_rows.begin() + index);
  Save();
  return true;
}

bool CStoredList::Move(int index, int new_index) {
  const int count = static_cast<int>(m_rows.size());
  if (index < 0 || index >= count || new_index < 0 || new_index >= count) return false;
  const auto from = m_rows.begin() + index;
  const auto to = m_rows.begin() + new_index;
  if (index < new_index) {
    std::rotate(from, from + 1, to + 1);
  } else {
    std::rotate(to, from, from + 1);
  }
  Save();
  return true;
}

bool IsStorableInBarList(const std::string& text) { return text.find('|') == std::string::npos; }

}  // namespace admin
