// RETR's trimmed end and TOP's line selection, fed chunk by chunk.
#include "pop3/pop3_message_text.h"

#include <cstring>

#include "common/text.h"

namespace pop3 {

bool MessageTextEnd::Feed(std::string_view bytes) {
  if (m_bEnded) return false;
  const void* nul = std::memchr(bytes.data(), '\0', bytes.size());
  if (nul != nullptr) {
    bytes = bytes.substr(0, static_cast<const char*>(nul) - bytes.data());
    m_bEnded = true;
  }
  const std::uint64_t start = m_nPos;
  m_nPos += bytes.size();

  // Only the tail of the chunk can move the ends: look backwards from it.
  std::size_t i = bytes.size();
  while (i > 0 && text::IsBlank(bytes[i - 1])) --i;
  if (i > 0) {
    // bytes[i-1] is the last byte that is not white space: the text less
    // trailing white space ends after it; dots before that end go too.
    std::size_t j = i;
    while (j > 0 && bytes[j - 1] == '.') --j;
    m_nEnd = j > 0 ? start + j : m_nAfterNonDot;
  }
  // The last byte that is not a dot, for a later chunk that ends in dots.
  std::size_t k = bytes.size();
  while (k > 0 && bytes[k - 1] == '.') --k;
  if (k > 0) m_nAfterNonDot = start + k;
  return !m_bEnded;
}

bool TopLineFilter::Feed(std::string_view bytes, std::string& out) {
  std::size_t i = 0;
  while (i < bytes.size() && m_Phase != Phase::Done) {
    const char c = bytes[i];
    if (c == '\0') {
      Finish(out);
      break;
    }
    if (m_bPendingCR) {
      m_bPendingCR = false;
      if (c == '\n') {
        EndLine(out);
        ++i;
        continue;
      }
      // A CR that does not end a line is a character of the line.
      if (m_Phase == Phase::SkipBlank) {
        // White space before the first kept line: dropped.
      } else {
        out.push_back('\r');
        m_bLineHasText = true;
      }
    }
    if (c == '\r') {
      m_bPendingCR = true;
      ++i;
      continue;
    }
    if (c == '\n') {
      EndLine(out);
      ++i;
      continue;
    }
    if (m_Phase == Phase::SkipBlank) {
      if (text::IsBlank(c)) {
        ++i;
        continue;
      }
      m_Phase = Phase::Head;
    }
    // Copy the run of ordinary bytes up to the next CR, LF or NUL at once.
    std::size_t end = i;
    while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n' && bytes[end] != '\0')
      ++end;
    out.append(bytes.data() + i, end - i);
    m_bLineHasText = true;
    i = end;
  }
  return m_Phase != Phase::Done;
}

void TopLineFilter::EndLine(std::string& out) {
  switch (m_Phase) {
    case Phase::SkipBlank:
    case Phase::Done:
      break;
    case Phase::Head:
      out.append("\r\n");
      // The first empty line ends the head and is kept.
      if (!m_bLineHasText) m_Phase = m_nBodyLeft > 0 ? Phase::Body : Phase::Done;
      break;
    case Phase::Body:
      out.append("\r\n");
      if (--m_nBodyLeft <= 0) m_Phase = Phase::Done;
      break;
  }
  m_bLineHasText = false;
}

void TopLineFilter::Finish(std::string& out) {
  if (m_bPendingCR) {
    m_bPendingCR = false;
    if (m_Phase == Phase::Head || m_Phase == Phase::Body) {
      out.push_back('\r');
      m_bLineHasText = true;
    }
  }
  // A last line without line end is still a line.
  if (m_bLineHasText && (m_Phase == Phase::Head || m_Phase == Phase::Body)) EndLine(out);
  m_Phase = Phase::Done;
}

}  // namespace pop3
