// The compact message list of a POP3 session (see pop3_message_list.h).
#include "pop3/pop3_message_list.h"

#include <limits>
#include <utility>

std::string_view UniqueIdOfName(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(0, dot);
}

void CPop3MessageList::Reset(std::string folder) {
  // Swapped with empty ones: clear() alone would keep the capacity of a
  // large mailbox until the session ends.
  CPop3MessageList empty;
  std::swap(*this, empty);
  m_strFolder = std::move(folder);
}

bool CPop3MessageList::Add(std::string_view name, std::uint64_t size) {
  // Name offsets are 32-bit: a block beyond that (some hundred million
  // messages) takes no more.
  if (m_strNames.size() + name.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  m_strNames.append(name);
  m_arrNameStarts.push_back(static_cast<std::uint32_t>(m_strNames.size()));
  const DWORD low = static_cast<DWORD>(size);
  m_arrSizes.push_back(low);
  m_arrDeleted.push_back(false);
  m_nUnmarkedOctets += low;
  return true;
}

void CPop3MessageList::Seal() {
  m_strNames.shrink_to_fit();
  m_arrNameStarts.shrink_to_fit();
  m_arrSizes.shrink_to_fit();
  m_arrDeleted.shrink_to_fit();
}

std::string CPop3MessageList::Path(std::size_t i) const {
  std::string path = m_strFolder;
  path.append(FileName(i));
  return path;
}

void CPop3MessageList::Mark(std::size_t i) {
  if (m_arrDeleted[i]) return;
  m_arrDeleted[i] = true;
  ++m_nMarked;
  m_nUnmarkedOctets -= m_arrSizes[i];
}

void CPop3MessageList::ClearMarks() {
  if (m_nMarked == 0) return;
  m_arrDeleted.assign(m_arrDeleted.size(), false);
  m_nMarked = 0;
  m_nUnmarkedOctets = 0;
  for (const DWORD size : m_arrSizes) m_nUnmarkedOctets += size;
}
