// The messages of a POP3 session's mailbox snapshot, kept compact: a mailbox
// may hold a hundred thousand messages, and every session keeps its own
// snapshot for as long as it lasts. Per message the list holds its file name
// (in one shared block of text), its size and its deletion mark, about 45
// bytes for a usual name, instead of a full path in a string of its own.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win_types.h"

// One message of the snapshot as a value, for code that wants it whole.
struct CPop3Message {
  std::string m_strPath;  // mailbox folder, "\", file name with extension
  DWORD m_dwSize = 0;     // file size (low 32 bits) when the snapshot was taken
  int m_bDeleted = 0;     // marked by DELE in this session

  // The name of the file in the mailbox folder.
  std::string FileName() const;
  // The unique id (UIDL): the file name without folder and extension.
  std::string UniqueId() const;
};

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
  CPop3Message operator[](std::size_t i) const;

  // Deletion marks, with the count and octets of the unmarked messages
  // kept up to date for STAT.
  void Mark(std::size_t i);
  void ClearMarks();
  std::size_t MarkedCount() const { return m_nMarked; }
  std::size_t UnmarkedCount() const { return size() - m_nMarked; }
  std::uint64_t UnmarkedOctets() const { return m_nUnmarkedOctets; }

  // The messages as values, in number order.
  class Iterator {
   public:
    using iterator_category = std::input_iterator_tag;
    using value_type = CPop3Message;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = CPop3Message;
    Iterator(const CPop3MessageList* list, std::size_t i) : m_pList(list), m_nIndex(i) {}
    CPop3Message operator*() const { return (*m_pList)[m_nIndex]; }
    Iterator& operator++() {
      ++m_nIndex;
      return *this;
    }
    bool operator==(const Iterator& other) const { return m_nIndex == other.m_nIndex; }

   private:
    const CPop3MessageList* m_pList;
    std::size_t m_nIndex;
  };
  Iterator begin() const { return Iterator(this, 0); }
  Iterator end() const { return Iterator(this, size()); }

 private:
  std::string m_strFolder;
  std::string m_strNames;                     // every name, one after the other
  std::vector<std::uint32_t> m_arrNameStarts{0};  // where name i starts; one more at the end
  std::vector<DWORD> m_arrSizes;
  std::vector<bool> m_arrDeleted;
  std::size_t m_nMarked = 0;
  std::uint64_t m_nUnmarkedOctets = 0;
};
