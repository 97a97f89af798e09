// The message text that RETR and TOP send, worked out piece by piece so that
// a message file of any size is read and sent in bounded chunks.
//
// What a client is shown of a message file is its bytes up to the first NUL
// byte, if there is one, without the "x-receiver:" lines of the leading
// envelope run (a mailbox copy names every recipient of the message; each
// recipient sees only the sender). RETR sends that text less its trailing
// white space and then its trailing "." characters; TOP sends the head and
// some body lines. Both send it in wire form (store/wire_form.h): the file
// holds the text as the client sent it, and only the lines a client never
// dot-stuffed get their extra dot.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "store/envelope_run.h"

namespace pop3 {

// The shown text of a message file, fed the file's bytes in order.
class MessageFileText {
 public:
  // Appends what these bytes add to the shown text to `out`. False once a
  // NUL byte has ended the text: no more bytes are needed.
  bool Feed(std::string_view bytes, std::string& out);
  // The end of the file (ends an envelope line without line end).
  void Finish(std::string& out);

 private:
  CEnvelopeRun m_Envelope{nullptr};
  bool m_bEnded = false;
};

// Finds where the RETR text ends: feed it the shown text in order; End() is
// the length of that text after trimming the bytes fed so far.
class MessageTextEnd {
 public:
  void Feed(std::string_view bytes);
  std::uint64_t End() const { return m_nEnd; }

 private:
  std::uint64_t m_nPos = 0;         // bytes of text taken so far
  std::uint64_t m_nEnd = 0;         // trimmed length of those bytes
  std::uint64_t m_nAfterNonDot = 0; // 1 + position of the last byte that is not "."
};

// Picks the lines that TOP sends from the shown text in wire form. It is read
// as text lines (LF ends a line, a CR just before it is dropped): lines that
// are empty after removing their leading white space are skipped and the
// first other line is kept with that white space removed (a "." it then
// begins with gets one more, as no client stuffed it there); the following
// lines are kept up to and including the first empty one (the end of the
// head); then at most `body_lines` more. Every kept line is written followed
// by CR LF.
class TopLineFilter {
 public:
  explicit TopLineFilter(int body_lines) : m_nBodyLeft(body_lines > 0 ? body_lines : 0) {}

  // Appends what these bytes add to the reply to `out`. False once nothing
  // more will be kept (the last wanted line ended); Finish must still be
  // called.
  bool Feed(std::string_view bytes, std::string& out);
  // End of the text: completes a last line that had no line end.
  void Finish(std::string& out);

 private:
  enum class Phase { SkipBlank, Head, Body, Done };
  void EndLine(std::string& out);

  Phase m_Phase = Phase::SkipBlank;
  int m_nBodyLeft;
  bool m_bLineHasText = false;     // the current line has at least one byte kept
  bool m_bPendingCR = false;       // a CR whose next byte decides its fate
  bool m_bBlankSkipped = false;    // a space or tab before the first kept byte was removed
};

}  // namespace pop3
