// The messages of a POP3 session's mailbox snapshot, kept compact: a mailbox
// may hold a hundred thousand messages, and every session keeps its own
// snapshot for as long as it lasts. Per message the list holds its file name
// (in one shared block of text), its size and its deletion mark, about 45
// bytes for a usual name, instead of a full path in a string of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

// The unique id of a message file's name: the name less its extension.
std::string_view UniqueIdOfName(std::string_view name);

class CPop3MessageList {
 public:
  // Message i (from 0) is message number i + 1 of the session.
  std::size_t size() const { return m_arrSizes.size(); }
  bool empty() const { return m_arrSizes.empty(); }

  // Empties the list and frees its memory; `folder` is the path text that
  // the messages' paths begin with (ending in a separator).
  void Reset(std::string folder);
  // Appends a message; false (nothing added) when the list cannot take
  // another name.
  bool Add(std::string_view name, std::uint64_t size);
  // The list is complete: spare capacity is given back.
  void Seal();

  std::string_view FileName(std::size_t i) const {
    return std::string_view(m_strNames).substr(m_arrNameStarts[i], m_arrNameStarts[i + 1] - m_arrNameStarts[i]);
  }
  std::string_view UniqueId(std::size_t i) const { return UniqueIdOfName(FileName(i)); }
  DWORD Size(std::size_t i) const { return m_arrSizes[i]; }
  bool IsDeleted(std::size_t i) const { return m_arrDeleted[i]; }
  std::string Path(std::size_t i) const;

  // Deletion marks, with the count and octets of the unmarked messages
  // kept up to date for STAT.
  void Mark(std::size_t i);
  void ClearMarks();
  std::size_t MarkedCount() const { return m_nMarked; }
  std::size_t UnmarkedCount() const { return size() - m_nMarked; }
  std::uint64_t UnmarkedOctets() const { return m_nUnmarkedOctets; }

 private:
  std::string m_strFolder;
  std::string m_strNames;                     // every name, one after the other
  std::vector<std::uint32_t> m_arrNameStarts{0};  // where name i starts; one more at the end
  std::vector<DWORD> m_arrSizes;
  std::vector<bool> m_arrDeleted;
  std::size_t m_nMarked = 0;
  std::uint64_t m_nUnmarkedOctets = 0;
};
