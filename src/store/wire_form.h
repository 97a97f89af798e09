// The stored text of a message on its way to a reader that ends the text at
// a line holding only "." (a POP3 client reading RETR or TOP, the remote
// server of the relay's DATA).
//
// A spool file keeps the message text as the client sent it: the lines the
// client dot-stuffed keep their extra dot, so a line that begins after CR LF
// goes out as stored. But a client stuffs only the lines it ends with CR LF;
// for a line that begins after a bare LF (or a bare CR) nothing was stuffed,
// while many readers cut lines at LF and would take such a "." line for the
// end of the text, and read what follows as replies or as new commands.
//
// The encoder gives the bytes to send:
//   (a) a line that begins after a bare LF or a bare CR and starts with "."
//       gets one more ".";
//   (b) a line that begins after CR LF (or at the start of the text) is sent
//       as stored, except when it holds only "." (ended by a bare LF, a bare
//       CR, CR LF or the end of the text): that one gets one more "." too,
//       since every reader would take it for the end;
// every other byte goes out as it is, and nothing is ever removed. Feed it
// the stored bytes in pieces of any size; it keeps one state between them.
#pragma once

#include <string>
#include <string_view>

class CWireFormEncoder {
 public:
  // Appends what these stored bytes become on the wire to `out`.
  void Feed(std::string_view stored, std::string& out);
  // The end of the text: appends what is still held back (a "." that began
  // a line after CR LF). The encoder is then ready for a new text.
  void Finish(std::string& out);

 private:
  enum class Position {
    kLineStartAfterCrLf,  // at the start of the text, or after CR LF
    kLineStartAfterBare,  // after a bare LF, or after a CR not followed by LF
    kInLine,
    kAfterCr,   // a CR was sent; the next byte tells whether it was bare
    kHeldDot,   // a "." began a line after CR LF and is not sent yet
  };
  void Take(char c, std::string& out);

  Position m_At = Position::kLineStartAfterCrLf;
};
