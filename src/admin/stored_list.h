// The working state of a list (domains, forward rules, pre-defined DNS
// records, blocked senders, IP filter) as the applet's list pages and
// quillctl's list commands edit it: rows of one or two column texts that are
// stored as a serialised text list (common/serial_list.h) in the registry at
// once after every add, edit, move and remove. Cancel on the sheet therefore
// does not undo a list change.
//
// Every list follows the same rules: a new or edited row that equals an
// existing row in every column, without regard to case, changes nothing (an
// edit compares with the edited row too, so an unchanged or only re-cased
// entry is not stored); Remove selects the first row. A list that would
// serialise to more than the service reads (kMaxServiceListBytes) is kept on
// screen but not stored, and Apply and OK say so (TooLargeText) until
// entries are removed; the change that makes it fit stores it.
//
// A stored list that cannot be read (a registry error other than "value not
// found", a value larger than the page reads, bytes that are no list) shows
// as an empty list that cannot be changed, with a message (ReadProblem), so
// that no change on the page overwrites what is stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/settings_table.h"

namespace admin {

using ListRow = std::vector<std::string>;

struct ListFormat {
  const char* name;  // as messages name the list: "domains"
  const char* section;
  const char* value;
  std::size_t columns;           // 1 or 2
  std::size_t max_loaded_bytes;  // a larger stored value shows as an empty list
  std::size_t max_stored_bytes;  // a longer serialised list is not written
  std::function<ListRow(const std::string& element)> split;
  std::function<std::string(const ListRow& row)> join;
};

// The lists of the applet and how their elements map to columns.
ListFormat DomainsFormat();         // "Domains" / "Extensions": the domain
ListFormat ForwardRulesFormat();    // "ForwardRules" / "Rules": From "|" To
ListFormat MxRecordsFormat();       // "Relay" / "MxRecords": domain "|" server
ListFormat BlockedSendersFormat();  // "BlockMailFrom" / "Rules": the sender
ListFormat IpFilterFormat();        // "IpFilter" / "Addresses": start " " end

// The service's loader takes a list of at most this size and ignores a
// larger one, so no list is stored larger.
inline constexpr std::size_t kMaxServiceListBytes = settings::kMaxServiceListBytes;
// Lists of domains, rules and records stored up to this size by earlier
// versions are still shown, so that they can be cut down to what the
// service reads.
inline constexpr std::size_t kMaxLongListBytes = settings::kMaxLongListBytes;

// The message of Apply and OK for a list of `bytes` bytes, too large for the
// service: names the list, its size and the limit.
std::string ListTooLargeText(const char* list_name, std::size_t bytes);

// How a stored list value was read.
enum class StoredRead {
  Read,        // `data` holds the value
  Missing,     // there is no such value: the list is new
  Unreadable,  // `reason` says why: the system's error text, or its size
};
// Reads the list value section/value if it is at most max_bytes long.
StoredRead ReadStoredList(const char* section, const char* value, std::size_t max_bytes,
                          std::vector<std::uint8_t>& data, std::string& reason);
// The reason for a value whose bytes are no serialised list.
inline constexpr const char* kMalformedListReason = "Its bytes are not a list of the form the service reads.";
// The message when the list of `list_name` cannot be read, for `reason`.
std::string ListUnreadableText(const char* list_name, const std::string& reason);

class CStoredList {
 public:
  explicit CStoredList(ListFormat format);

  // Reads the stored list; a missing value gives an empty list, one that
  // cannot be read an empty list with a ReadProblem.
  void Load();
  // The message when the stored list could not be read, or nothing. While
  // there is one, the rows stay empty and Add, Edit, Remove and Save change
  // nothing.
  const std::optional<std::string>& ReadProblem() const { return m_strReadProblem; }
  // Writes the rows in row order; false when the list is too large (nothing
  // is written then) or the write failed.
  bool Save() const;
  // Whether the last save (also the one of a change) stored the rows.
  bool Saved() const { return m_bSaved; }
  // The message for Apply and OK when the rows are too large to store, or
  // nothing when they fit.
  std::optional<std::string> TooLargeText() const;

  const std::vector<ListRow>& Rows() const { return m_rows; }
  std::size_t Columns() const { return m_format.columns; }
  // The stored elements, rebuilt from the rows in row order.
  std::vector<std::string> Elements() const;

  // Appends and stores a row; its index, or nothing for a duplicate.
  std::optional<int> Add(const ListRow& row);
  // Replaces and stores a row; false for no such row or a duplicate.
  bool Edit(int index, const ListRow& row);
  // Deletes and stores a row; false for no such row. The first row is the
  // one to select afterwards.
  bool Remove(int index);
  // Moves a row to another index, the rows between shifting by one, and
  // stores the list; false for no such row or index. (Order counts where the
  // first matching entry wins: forward rules, IP filter entries.)
  bool Move(int index, int new_index);
  // The index of the first row that equals `row` in every column, without
  // regard to case, or -1.
  int Find(const ListRow& row) const;
  bool Contains(const ListRow& row) const { return Find(row) >= 0; }

 private:
  ListRow Normalise(const ListRow& row) const;

  ListFormat m_format;
  std::vector<ListRow> m_rows;
  std::optional<std::string> m_strReadProblem;
  mutable bool m_bSaved = false;
};

// Whether a text can be kept in a column of a list whose stored element
// joins its columns with "|": a "|" inside it would read back split.
bool IsStorableInBarList(const std::string& text);
inline constexpr const char* kForwardRuleBarText = "A forward rule cannot contain the character \"|\".";
inline constexpr const char* kDnsRecordBarText = "A DNS record cannot contain the character \"|\".";

}  // namespace admin
