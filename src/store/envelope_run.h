// The leading envelope run of a spool file: the lines at its very start that
// begin "x-sender:" or "x-receiver:" (either case), as the SMTP session
// writes them before the Received header. Recipients are read from this run
// only, so that a header line of the message itself never names one; and
// only this run's "x-receiver:" lines are left out where a message is shown
// to one of its recipients, so that nobody learns the others (blind copies
// stay blind).
//
// Lines end at LF, or at CR together with the byte that follows it. A line
// longer than any envelope line ends the run.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class CEnvelopeRun {
 public:
  // No envelope line is longer (the session writes them from command lines
  // of bounded length); the scan holds at most this much.
  static constexpr std::size_t kMaxLine = 8192;

  // `recipients` (may be null) collects the text after each "x-receiver:",
  // lower-cased and trimmed; blank ones are skipped. `sender` (may be null)
  // gets the address of the first "x-sender:" line, the same way.
  explicit CEnvelopeRun(std::vector<std::string>* recipients, std::string* sender = nullptr)
      : m_pRecipients(recipients), m_pSender(sender) {}

  // Takes the next bytes of the file. When `shown` is given, every byte that
  // is not part of an "x-receiver:" line of the run is appended to it, in
  // order (the bytes after the run as they come). False once the run has
  // ended.
  bool Feed(std::string_view bytes, std::string* shown = nullptr);
  // The end of the file ends the last line, with or without its line end.
  void Finish(std::string* shown = nullptr);
  bool Ended() const { return m_bEnded; }

 private:
  void EndLine(std::string* shown);

  std::vector<std::string>* m_pRecipients;
  std::string* m_pSender;
  std::string m_strLine;       // the bytes of the current line, its line end included
  std::size_t m_nContent = 0;  // how many of them come before the line end
  bool m_bAfterCr = false;     // a CR ended the line's content; the next byte goes with it
  bool m_bEnded = false;
};
