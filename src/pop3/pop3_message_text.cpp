// The shown text of a message file, RETR's trimmed end and TOP's line
// selection, fed chunk by chunk.
#include "pop3/pop3_message_text.h"

#include "common/text.h"

namespace pop3 {

bool MessageFileText::Feed(std::string_view bytes, std::string& out) {
  if (m_bEnded) return false;
  const std::size_t nul = bytes.find('\0');
  if (nul != std::string_view::npos) {
    bytes = bytes.substr(0, nul);
    m_bEnded = true;
  }
  m_Envelope.Feed(bytes, &out);
  if (m_bEnded) m_Envelope.Finish(&out);
  return !m_bEnded;
}

void MessageFileText::Finish(std::string& out) {
  if (!m_bEnded) m_Envelope.Finish(&out);
  m_bEnded = true;
}

void MessageTextEnd::Feed(std::string_view bytes) {
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
}

bool TopLineFilter::Feed(std::string_view bytes, std::string& out) {
  std::size_t i = 0;
  while (i < bytes.size() && m_Phase != Phase::Done) {
    const char c = bytes[i];
    if (m_bPendingCR) {
      m_bPendingCR = false;
      if (c == '\n') {
        EndLine(out);
        ++i;
        continue;
      }
      // A CR that does not end a line is a character of the line.
      if (m_Phase == Phase::SkipBlank) {
        // White space before the first kept line: dropped. What follows a
        // bare CR was stuffed on its way here.
        m_bBlankSkipped = false;
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
        m_bBlankSkipped = true;
        ++i;
        continue;
      }
      // A dot after a line end was stuffed on its way here if it needed to
      // be; one after removed blanks never was.
      if (c == '.' && m_bBlankSkipped) out.push_back('.');
      m_Phase = Phase::Head;
    }
    // Copy the run of ordinary bytes up to the next CR or LF at once.
    std::size_t end = i;
    while (end < bytes.size() && bytes[end] != '\r' && bytes[end] != '\n') ++end;
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
  m_bBlankSkipped = false;
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
