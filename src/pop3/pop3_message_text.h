// The message text that RETR and TOP send, worked out piece by piece so that
// a message file of any size is read and sent in bounded chunks.
//
// The text of a message file is its bytes up to the first NUL byte, if there
// is one. RETR sends that text less its trailing white space and then its
// trailing "." characters; TOP sends the head and some body lines. Neither
// byte-stuffs: the file already holds the message in transfer form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace pop3 {

// Finds where the RETR text ends. Feed the file's bytes in order; once the
// text has ended (a NUL byte) further bytes are ignored. End() is the length
// of the text after trimming the bytes fed so far.
class MessageTextEnd {
 public:
  // False once a NUL byte has ended the text: no more bytes are needed.
  bool Feed(std::string_view bytes);
  std::uint64_t End() const { return m_nEnd; }
  bool Ended() const { return m_bEnded; }

 private:
  std::uint64_t m_nPos = 0;         // bytes of text taken so far
  std::uint64_t m_nEnd = 0;         // trimmed length of those bytes
  std::uint64_t m_nAfterNonDot = 0; // 1 + position of the last byte that is not "."
  bool m_bEnded = false;
};

// Picks the lines that TOP sends. The file is read as text lines (LF ends a
// line, a CR just before it is dropped): lines that are empty after removing
// their leading white space are skipped and the first other line is kept with
// that white space removed; the following lines are kept up to and including
// the first empty one (the end of the head); then at most `body_lines` more.
// Every kept line is written followed by CR LF.
class TopLineFilter {
 public:
  explicit TopLineFilter(int body_lines) : m_nBodyLeft(body_lines > 0 ? body_lines : 0) {}

  // Appends what these bytes add to the reply to `out`. False once nothing
  // more will be kept (the last wanted line ended, or a NUL byte ended the
  // text); Finish must still be called.
  bool Feed(std::string_view bytes, std::string& out);
  // End of the file: completes a last line that had no line end.
  void Finish(std::string& out);

 private:
  enum class Phase { SkipBlank, Head, Body, Done };
  void EndLine(std::string& out);

  Phase m_Phase = Phase::SkipBlank;
  int m_nBodyLeft;
  bool m_bLineHasText = false;  // the current line has at least one byte kept
  bool m_bPendingCR = false;    // a CR whose next byte decides its fate
};

}  // namespace pop3
