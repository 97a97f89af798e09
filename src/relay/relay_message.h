// A queued file as the relay sends it: the envelope sender of its leading
// envelope run, and the message text after DATA, read from the file and
// handed to the SMTP client piece by piece, so that a message of any size
// costs the relay a few buffers of kReadSize, never the whole text.
//
// The envelope run is the lines at the start of the file that begin with
// "x-sender:" or "x-receiver:" (either case); it is left out, and the text
// after the last "x-sender:" marker of the run, trimmed and ended at the
// first control character, is the sender (it goes out inside the MAIL FROM
// line). Every other line is sent as stored, in transfer form:
//   - lines end in CR LF (a bare LF becomes CR LF; a CR inside a line stays);
//   - dots are added as the wire form encoder (store/wire_form.h) adds them,
//     so that no line of the message ends the text early on the wire;
//   - the text ends in an empty line and a line holding only ".", without
//     the final line break, which the client adds.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "relay/smtp_client.h"
#include "store/wire_form.h"

class CRelayMessage : public CMessageSource {
 public:
  // Stored bytes read from the file at once.
  static constexpr std::size_t kReadSize = 64 * 1024;
  // Longer envelope lines are cut here: the SMTP session writes them from
  // command lines of bounded length, so only a damaged file has longer ones.
  static constexpr std::size_t kMaxEnvelopeLine = 8192;

  explicit CRelayMessage(std::size_t read_size = kReadSize) : m_nReadSize(read_size) {}

  // Opens the queued file and reads its envelope run; false (with
  // LastFileError) when the file cannot be opened or read.
  bool Open(const std::string& path);
  const std::string& Sender() const { return m_strSender; }

  // CMessageSource: the next piece of the text in transfer form. False (with
  // LastFileError) when a read fails; ReadFailed() tells so afterwards.
  bool ReadText(std::string& out, bool& done) override;
  bool ReadFailed() const { return m_bReadFailed; }

 private:
  // Reads the next bytes of the file into m_strStored; false on a read error.
  bool ReadMore(bool& at_end);
  // Ends the envelope line in m_strLine: true when it was an envelope line.
  bool TakeEnvelopeLine();
  // Encodes stored bytes, then gives a bare LF its CR.
  void Encode(std::string_view stored, std::string& out);
  void EndLines(std::string_view encoded, std::string& out);

  std::size_t m_nReadSize;
  platform::File m_File;
  std::string m_strSender;
  std::string m_strLine;    // the envelope line being read
  std::string m_strStored;  // stored bytes read but not yet sent
  CWireFormEncoder m_Encoder;
  char m_cLastSent = '\n';   // the last byte handed out (before any: none)
  bool m_bDone = false;
  bool m_bReadFailed = false;
};
