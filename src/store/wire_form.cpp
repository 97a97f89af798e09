// Dot-stuffing on the way out (see wire_form.h).
#include "store/wire_form.h"

void CWireFormEncoder::Feed(std::string_view stored, std::string& out) {
  std::size_t i = 0;
  while (i < stored.size()) {
    if (m_At != Position::kInLine) {
      Take(stored[i++], out);
      continue;
    }
    // Inside a line: the run up to the next CR or LF goes out at once.
    std::size_t end = i;
    while (end < stored.size() && stored[end] != '\r' && stored[end] != '\n') ++end;
    out.append(stored.data() + i, end - i);
    if (end == stored.size()) return;
    Take(stored[end], out);
    i = end + 1;
  }
}

void CWireFormEncoder::Take(char c, std::string& out) {
  switch (m_At) {
    case Position::kLineStartAfterCrLf:
      if (c == '.') {
        // Whether this line is only "." shows with the next byte.
        m_At = Position::kHeldDot;
        return;
      }
      break;
    case Position::kLineStartAfterBare:
      if (c == '.') {
        out.append("..");
        m_At = Position::kInLine;
        return;
      }
      break;
    case Position::kAfterCr:
      if (c == '\n') {
        out.push_back(c);
        m_At = Position::kLineStartAfterCrLf;
        return;
      }
      // The CR was bare: this byte begins a line after it.
      m_At = Position::kLineStartAfterBare;
      Take(c, out);
      return;
    case Position::kHeldDot:
      out.append(c == '\r' || c == '\n' ? ".." : ".");
      break;
    case Position::kInLine:
      break;
  }
  out.push_back(c);
  if (c == '\r') {
    m_At = Position::kAfterCr;
  } else if (c == '\n') {
    m_At = Position::kLineStartAfterBare;  // not after a CR: a bare LF
  } else {
    m_At = Position::kInLine;
  }
}

void CWireFormEncoder::Finish(std::string& out) {
  if (m_At == Position::kHeldDot) out.append("..");
  m_At = Position::kLineStartAfterCrLf;
}
